// brinmoor-radiosim: plays a Kenwood-style transceiver on a pseudo-terminal
// (or a TCP port, line.cpp). One poll() loop serves the line, the control
// lines on standard input, the answer delay and the automatic reports;
// nothing here blocks.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "line.h"
#include "options.h"
#include "radio.h"

namespace brinmoor {
namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr std::size_t maxQueuedOutput = 1 << 20;
constexpr std::size_t maxControlLine = 64 * 1024;
constexpr std::size_t maxDelayedAnswers = 10000;
constexpr Milliseconds restAfterHangup{100};

struct Simulator {
    Options options;
    Line line;
    CommandSplitter splitter;
    std::deque<std::pair<Clock::time_point, std::string>> delayedAnswers;
    std::string output;  // bytes waiting for room in the terminal
    unsigned long long received = 0;  // commands taken from the terminal, answered or not
    unsigned long long streamLeft = 0;
    Clock::time_point nextReport;
    Clock::time_point restUntil;  // after a hang-up or EIO the master is left alone till then
    std::string controlLine;
    bool discardingControl = false;
    bool stdinOpen = true;
    bool quit = false;
};

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(signalPipe[1], &byte, 1);
    errno = saved;
}

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Non-printable bytes are shown as \xNN so garbage on the line stays readable.
std::string Printable(std::string_view bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f) {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text;
}

void Log(const Simulator& sim, std::string_view direction, std::string_view bytes) {
    if (!sim.options.log) return;
    std::fprintf(stderr, "%.*s %s\n", static_cast<int>(direction.size()), direction.data(),
                 Printable(bytes).c_str());
    std::fflush(stderr);
}

void QueueOutput(Simulator& sim, std::string_view bytes) {
    if (sim.output.size() + bytes.size() > maxQueuedOutput) {
        Log(sim, "dropped", std::to_string(bytes.size()) + " bytes, nobody reads the terminal");
        return;
    }
    sim.output += bytes;
}

void SendDueAnswers(Simulator& sim, Clock::time_point now) {
    while (!sim.delayedAnswers.empty() && sim.delayedAnswers.front().first <= now) {
        Log(sim, "tx", sim.delayedAnswers.front().second);
        QueueOutput(sim, sim.delayedAnswers.front().second);
        sim.delayedAnswers.pop_front();
    }
}

void HandleCommand(Simulator& sim, const std::string& command, Clock::time_point now) {
    Log(sim, "rx", command + ";");
    ++sim.received;
    if (sim.options.silent) return;
    std::optional<std::string> answer =
        sim.options.question ? std::optional<std::string>("?") : Answer(sim.options.radio, command);
    if (!answer || (*answer == "?" && sim.options.quietUnknown)) return;
    if (sim.delayedAnswers.size() >= maxDelayedAnswers) {
        Log(sim, "dropped", "answer, too many waiting for their delay");
        return;
    }
    // Answers keep their order even when the delay shrinks in between.
    Clock::time_point due = now + Milliseconds(sim.options.delayMs);
    if (!sim.delayedAnswers.empty()) due = std::max(due, sim.delayedAnswers.back().first);
    sim.delayedAnswers.emplace_back(due, *answer + ";");
    SendDueAnswers(sim, now);
}

bool AutoInfoOn(const Simulator& sim) {
    return sim.options.autoInfoMs > 0 && !sim.options.silent &&
           (sim.options.autoInfoAlways || sim.options.radio.autoInfo != '0');
}

void RunTimers(Simulator& sim, Clock::time_point now) {
    SendDueAnswers(sim, now);
    const Milliseconds period(sim.options.autoInfoMs);
    if (!AutoInfoOn(sim)) {
        sim.nextReport = now + period;
    } else if (sim.nextReport <= now) {
        const Radio& radio = sim.options.radio;
        const std::string report = "FA" + radio.vfoA + ";" + InformationReport(radio) + ";";
        Log(sim, "tx", report);
        QueueOutput(sim, report);
        // After a stall the next report waits a whole period instead of coming in a burst.
        sim.nextReport += period;
        if (sim.nextReport <= now) sim.nextReport = now + period;
    }
    if (sim.output.empty() && sim.streamLeft > 0) {
        const auto chunk = std::min<unsigned long long>(sim.streamLeft, 4096);
        sim.output.assign(chunk, 'x');
        sim.streamLeft -= chunk;
    }
}

void ReadTerminal(Simulator& sim, Clock::time_point now) {
    char buffer[4096];
    const ssize_t n = read(sim.line.fd, buffer, sizeof buffer);
    if (n > 0) {
        for (const std::string& command : sim.splitter.Feed(std::string_view(buffer, n))) {
            HandleCommand(sim, command, now);
        }
    } else if (n == 0 && HangUp(sim.line)) {
        sim.output.clear();  // the server has gone: what was for it goes too
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        sim.restUntil = now + restAfterHangup;
    }
}

void WriteTerminal(Simulator& sim, Clock::time_point now) {
    const ssize_t n = write(sim.line.fd, sim.output.data(), sim.output.size());
    if (n > 0) {
        sim.output.erase(0, n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        sim.restUntil = now + restAfterHangup;
    }
}

bool OnOff(std::string_view text, bool& target) {
    if (text != "on" && text != "off") return false;
    target = text == "on";
    return true;
}

// Runs one control line; returns the line to say on standard output.
std::string Control(Simulator& sim, std::string_view line) {
    const auto space = line.find(' ');
    const std::string_view verb = line.substr(0, space);
    const std::string_view argument = space == line.npos ? "" : line.substr(space + 1);
    Radio& radio = sim.options.radio;
    bool ok = false;
    if (verb == "tx") {
        ok = OnOff(argument, radio.transmitting);
    } else if (verb == "id") {
        // Another radio behind the same line, as a cable moved to it.
        ok = !argument.empty() && argument.find(';') == argument.npos;
        if (ok) {
            radio.id = argument;
            Log(sim, "id", argument);
        }
    } else if (verb == "silent") {
        ok = OnOff(argument, sim.options.silent);
    } else if (verb == "question") {
        ok = OnOff(argument, sim.options.question);
    } else if (verb == "meter") {
        const auto n = ParseNumber(argument, 0, 999);
        ok = n.has_value();
        radio.meter = static_cast<int>(n.value_or(radio.meter));
    } else if (verb == "delay") {
        const auto n = ParseNumber(argument, 0, 600000);
        ok = n.has_value();
        sim.options.delayMs = static_cast<int>(n.value_or(sim.options.delayMs));
    } else if (verb == "send") {
        ok = !argument.empty();
        if (ok) {
            Log(sim, "tx", argument);
            QueueOutput(sim, argument);
        }
    } else if (verb == "stream") {
        const auto n = ParseNumber(argument, 0, 1LL << 40);
        ok = n.has_value();
        sim.streamLeft += n.value_or(0);
    } else if (verb == "hangup" && argument.empty()) {
        ok = HangUp(sim.line);
        sim.output.clear();
    } else if (verb == "count" && argument.empty()) {
        return "count " + std::to_string(sim.received);
    } else if (verb == "quit" && argument.empty()) {
        sim.quit = ok = true;
    } else {
        return "error: unknown control command: " + Printable(line);
    }
    return ok ? "ok" : "error: bad argument: " + Printable(line);
}

void ReadControl(Simulator& sim) {
    char buffer[4096];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        sim.stdinOpen = false;  // tests may close it; the radio keeps running
        return;
    }
    for (char c : std::string_view(buffer, n)) {
        if (c != '\n') {
            if (sim.controlLine.size() < maxControlLine) {
                sim.controlLine += c;
            } else {
                sim.discardingControl = true;
            }
            continue;
        }
        std::string line = std::exchange(sim.controlLine, {});
        if (std::exchange(sim.discardingControl, false)) {
            Say("error: control line too long");
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == line.npos) continue;
        Say(Control(sim, line));
    }
}

int Run(Simulator& sim) {
    sim.nextReport = Clock::now() + Milliseconds(sim.options.autoInfoMs);
    while (!sim.quit) {
        Clock::time_point now = Clock::now();
        RunTimers(sim, now);

        const bool resting = now < sim.restUntil;
        pollfd fds[4] = {
            {signalPipe[0], POLLIN, 0},
            {sim.stdinOpen ? STDIN_FILENO : -1, POLLIN, 0},
            {resting ? -1 : sim.line.fd,
             static_cast<short>(POLLIN | (sim.output.empty() ? 0 : POLLOUT)), 0},
            {sim.line.listener, POLLIN, 0},
        };
        Clock::time_point wake = Clock::time_point::max();
        if (!sim.delayedAnswers.empty()) wake = sim.delayedAnswers.front().first;
        if (AutoInfoOn(sim)) wake = std::min(wake, sim.nextReport);
        if (resting) wake = std::min(wake, sim.restUntil);
        int timeout = -1;
        if (wake != Clock::time_point::max()) {
            // Round up so the loop never wakes early and spins.
            const auto wait = std::chrono::ceil<Milliseconds>(wake - now).count();
            timeout = static_cast<int>(std::clamp<long long>(wait, 0, 60000));
        }
        if (poll(fds, 4, timeout) < 0) {
            if (errno == EINTR) continue;
            std::perror("brinmoor-radiosim: poll");
            return 1;
        }
        now = Clock::now();
        if (fds[0].revents != 0) sim.quit = true;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) ReadControl(sim);
        if (fds[1].revents & POLLNVAL) sim.stdinOpen = false;
        if (fds[2].revents & POLLIN) {
            ReadTerminal(sim, now);
        } else if (fds[2].revents & (POLLHUP | POLLERR)) {
            sim.restUntil = now + restAfterHangup;
        }
        if ((fds[2].revents & POLLOUT) && !sim.output.empty() && sim.line.fd >= 0) {
            WriteTerminal(sim, now);
        }
        if (fds[3].revents & POLLIN) {
            // Nothing queued is for a server that was not there.
            if (sim.line.fd < 0) sim.output.clear();
            AcceptConnection(sim.line);
        }
    }
    return 0;
}

bool InstallSignals() {
    if (pipe(signalPipe) != 0) return false;
    for (int fd : signalPipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed stdout must not kill the radio
    return true;
}

}  // namespace
}  // namespace brinmoor

int main(int argc, char** argv) {
    using namespace brinmoor;
    Simulator sim;
    if (const auto exitCode = ParseOptions(argc, argv, sim.options)) return *exitCode;
    if (!InstallSignals() || !OpenLine(sim.line, sim.options)) {
        std::perror("brinmoor-radiosim: cannot open the line (terminal, link or TCP port)");
        return 1;
    }
    Say(sim.line.name);
    const int result = Run(sim);
    CloseLine(sim.line);
    return result;
}
