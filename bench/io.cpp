#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench.h"

namespace brinmoor::bench {

Summary Summarise(std::vector<double> samples) {
    Summary summary;
    summary.count = samples.size();
    if (samples.empty()) return summary;
    std::sort(samples.begin(), samples.end());
    // Nearest rank: the value below which the given share of samples lies.
    auto rank = [&](double share) {
        const auto index = static_cast<std::size_t>(std::ceil(share * samples.size()));
        return samples[std::clamp<std::size_t>(index, 1, samples.size()) - 1];
    };
    summary.median = rank(0.5);
    summary.p99 = rank(0.99);
    summary.max = samples.back();
    return summary;
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Signed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%+.*f", decimals, value);
    return text;
}

Verdict Check(bool met) {
    return met ? Verdict::Met : Verdict::Missed;
}

int OpenRawTerminal(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios settings{};
    if (::tcgetattr(fd, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::tcsetattr(fd, TCSANOW, &settings);
    }
    return fd;
}

int ConnectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool ReadReply(int fd, std::string& buffer, std::string& reply, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (const auto end = buffer.find(';'); end != std::string::npos) {
            reply.assign(buffer, 0, end + 1);
            buffer.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char chunk[512];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

std::optional<double> TimedExchange(int fd, std::string& buffer, std::string_view command,
                                    std::string_view expectPrefix) {
    std::string reply;
    const auto start = Clock::now();
    if (!WriteAll(fd, command)) return std::nullopt;
    if (!ReadReply(fd, buffer, reply, milliseconds(1000))) return std::nullopt;
    const auto end = Clock::now();
    if (reply.compare(0, expectPrefix.size(), expectPrefix) != 0) return std::nullopt;
    return std::chrono::duration<double, std::micro>(end - start).count();
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

std::optional<long> ThreadSwitches(pid_t pid) {
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    long total = 0;
    bool any = false;
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
        std::istringstream text(ReadFile((entry.path() / "status").string()));
        std::string line;
        while (std::getline(text, line)) {
            if (line.find("ctxt_switches:") == std::string::npos) continue;
            total += std::stol(line.substr(line.find(':') + 1));
            any = true;
        }
    }
    if (error || !any) return std::nullopt;
    return total;
}

std::optional<double> ThreadRunSeconds(pid_t pid) {
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    bool any = false;
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
        std::istringstream text(ReadFile((entry.path() / "schedstat").string()));
        unsigned long long nanoseconds = 0;
        if (!(text >> nanoseconds)) continue;
        total += static_cast<double>(nanoseconds) / 1e9;
        any = true;
    }
    if (error || !any) return std::nullopt;
    return total;
}

QuietStdout::QuietStdout() {
    std::fflush(stdout);
    saved = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
}

QuietStdout::~QuietStdout() {
    std::fflush(stdout);
    if (saved >= 0) {
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
}

std::optional<ThreadCost> MeasureThreadCost(pid_t pid, std::chrono::milliseconds window,
                                            long ownWakeups) {
    const auto cpu0 = ThreadRunSeconds(pid);
    const auto switches0 = ThreadSwitches(pid);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(window);
    const auto cpu1 = ThreadRunSeconds(pid);
    const auto switches1 = ThreadSwitches(pid);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!cpu0 || !cpu1 || !switches0 || !switches1) return std::nullopt;
    return ThreadCost{100 * (*cpu1 - *cpu0) / wall,
                      static_cast<double>(*switches1 - *switches0 - ownWakeups) / wall};
}

}  // namespace brinmoor::bench
