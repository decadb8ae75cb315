// Figures 1 to 3: a CAT query's round trip through the real server (over
// TCP, and through an app group's CAT relay) against the same simulator
// asked directly, and the transaction rate with many clients.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

#include "bench.h"
#include "station.h"
#include "support/posix/pty.h"

namespace brinmoor::bench {

constexpr std::string_view kQuery = "FA;";
constexpr std::string_view kAnswer = "FA";

Interleaved Interleave(const std::vector<int>& fds, int samples) {
    Interleaved result;
    result.samples.resize(fds.size());
    std::vector<std::string> buffers(fds.size());
    std::vector<double> round(fds.size());
    const int warmUp = samples / 10;
    for (int i = 0; i < warmUp + samples; ++i) {
        bool complete = true;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            const std::size_t path = (k + static_cast<std::size_t>(i)) % fds.size();
            const auto time = TimedExchange(fds[path], buffers[path], kQuery, kAnswer);
            complete = complete && time.has_value();
            round[path] = time.value_or(0);
        }
        if (!complete) {
            // A late reply would pass for the next one: let it come and drop it.
            ++result.failures;
            for (std::size_t path = 0; path < fds.size(); ++path) {
                std::string late;
                while (ReadReply(fds[path], buffers[path], late, milliseconds(200))) {
                }
                buffers[path].clear();
            }
            if (result.failures > 20) break;
            continue;
        }
        if (i < warmUp) continue;
        for (std::size_t path = 0; path < fds.size(); ++path) {
            result.samples[path].push_back(round[path]);
        }
    }
    return result;
}

namespace {

using test::PseudoTerminal;

// The least a relay process can do on the same two pseudo-terminals: wake
// on the program's bytes, pass each command to the radio, pass the answer
// back. Its round trip shows what the extra terminal pair costs by itself.
class BareRelay {
  public:
    explicit BareRelay(const std::string& radioPath)
        : programSide(OpenRawTerminal(program.SlavePath())), radio(OpenRawTerminal(radioPath)) {
        if (programSide >= 0 && radio >= 0) worker = std::thread([this] { Run(); });
    }
    ~BareRelay() {
        stop.store(true);
        if (worker.joinable()) worker.join();
        CloseFd(programSide);
        CloseFd(radio);
    }
    BareRelay(const BareRelay&) = delete;
    BareRelay& operator=(const BareRelay&) = delete;

    bool Running() const { return worker.joinable(); }
    int ProgramFd() const { return program.MasterFd(); }

  private:
    void Run() {
        std::string commands;
        std::string answers;
        while (!stop.load()) {
            pollfd p{programSide, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char chunk[256];
            const ssize_t n = ::read(programSide, chunk, sizeof chunk);
            if (n <= 0) continue;
            commands.append(chunk, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = commands.find(';')) != std::string::npos) {
                const std::string command = commands.substr(0, end + 1);
                commands.erase(0, end + 1);
                std::string answer;
                if (WriteAll(radio, command) &&
                    ReadReply(radio, answers, answer, milliseconds(1000))) {
                    WriteAll(programSide, answer);
                }
            }
        }
    }

    PseudoTerminal program;
    int programSide = -1;
    int radio = -1;
    std::atomic<bool> stop{false};
    std::thread worker;
};

std::string Lost(int failures) {
    return failures > 0 ? " (" + std::to_string(failures) + " lost)" : "";
}

void LatencyRows(const std::string& figure, const std::string& path, const Interleaved& result,
                 std::vector<Row>& rows) {
    const Summary via = Summarise(result.samples[0]);
    const Summary direct = Summarise(result.samples[1]);
    if (via.count == 0) {
        rows.push_back({figure, path, "no replies", "", "", "", Verdict::Missed});
        return;
    }
    const double addedMedian = via.median - direct.median;
    const double addedP99 = via.p99 - direct.p99;
    rows.push_back({figure, path + ", median", Fixed(via.median, 0) + " us" + Lost(result.failures),
                    Fixed(direct.median, 0) + " us direct", Signed(addedMedian, 0) + " us",
                    "<= +100 us", Check(addedMedian <= 100)});
    rows.push_back({figure, path + ", p99", Fixed(via.p99, 0) + " us",
                    Fixed(direct.p99, 0) + " us direct", Signed(addedP99, 0) + " us", "<= +1000 us",
                    Check(addedP99 <= 1000)});
    if (result.samples.size() < 3) return;
    // The same comparison against the bare relay: what the server adds beyond
    // the terminal pair that any relay needs.
    const Summary bare = Summarise(result.samples[2]);
    rows.push_back({figure, path + ", median vs a bare relay", Fixed(via.median, 0) + " us",
                    Fixed(bare.median, 0) + " us bare relay",
                    Signed(via.median - bare.median, 0) + " us", "", Verdict::Info});
    rows.push_back({figure, path + ", p99 vs a bare relay", Fixed(via.p99, 0) + " us",
                    Fixed(bare.p99, 0) + " us bare relay", Signed(via.p99 - bare.p99, 0) + " us",
                    "", Verdict::Info});
}

// How many of the connections poll, and whether they ask the same read.
struct Load {
    std::size_t clients;
    bool distinct;
};

// The first N of the open connections keep one "FA;" (or each a read of its
// own) in flight; the answers within the window are counted. Afterwards no
// new query is sent and the last answers are collected, so that the next
// round starts clean.
std::optional<long> CountAnswers(const std::vector<int>& fds, Load load, milliseconds window) {
    const std::size_t clients = load.clients;
    auto query = [&](std::size_t i) {
        return load.distinct ? kDistinctReads[i % std::size(kDistinctReads)] : kQuery;
    };
    // epoll: with 64 connections the benchmark's own side stays as cheap as
    // with one, so it does not eat into the server's share of the machine.
    int set = ::epoll_create1(EPOLL_CLOEXEC);
    if (set < 0) return std::nullopt;
    std::vector<std::string> buffers(clients);
    bool ok = true;
    for (std::size_t i = 0; i < clients && ok; ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        ok = ::epoll_ctl(set, EPOLL_CTL_ADD, fds[i], &event) == 0 && WriteAll(fds[i], query(i));
    }
    const auto end = Clock::now() + window;
    long counted = 0;
    std::size_t outstanding = clients;
    epoll_event events[64];
    while (ok && outstanding > 0) {
        const int ready = ::epoll_wait(set, events, 64, 1000);
        if (ready < 0 && errno == EINTR) continue;
        ok = ready > 0;  // a second without any answer: stuck
        const bool sending = Clock::now() < end;
        for (int e = 0; ok && e < ready; ++e) {
            const std::size_t i = events[e].data.u64;
            char chunk[512];
            const ssize_t n = ::read(fds[i], chunk, sizeof chunk);
            ok = n > 0;
            if (!ok) break;
            buffers[i].append(chunk, static_cast<std::size_t>(n));
            std::size_t answer;
            while (ok && (answer = buffers[i].find(';')) != std::string::npos) {
                buffers[i].erase(0, answer + 1);
                if (!sending) {
                    --outstanding;
                    continue;
                }
                ++counted;
                ok = WriteAll(fds[i], query(i));
            }
        }
    }
    ::close(set);
    if (!ok) return std::nullopt;
    return counted;
}

// Answers a second for each load. The loads take turns in short rounds over
// the same connections, so that a burst of load from elsewhere on the
// machine falls on all of them alike.
std::vector<std::optional<double>> TransactionRates(std::uint16_t port,
                                                    const std::vector<Load>& loads,
                                                    milliseconds window) {
    std::size_t most = 0;
    for (const Load& load : loads) most = std::max(most, load.clients);
    std::vector<int> fds;
    for (std::size_t i = 0; i < most; ++i) {
        const int fd = ConnectLoopback(port);
        if (fd < 0) break;
        fds.push_back(fd);
    }
    std::vector<std::optional<double>> rates(loads.size());
    if (fds.size() == most) {
        constexpr int kRounds = 4;
        const milliseconds round = window / kRounds;
        std::vector<long> answers(loads.size());
        std::vector<bool> failed(loads.size());
        CountAnswers(fds, {fds.size(), false}, milliseconds(200));  // every session has run once
        for (int r = 0; r < kRounds; ++r) {
            for (std::size_t l = 0; l < loads.size(); ++l) {
                const auto counted = CountAnswers(fds, loads[l], round);
                answers[l] += counted.value_or(0);
                failed[l] = failed[l] || !counted;
            }
        }
        const double seconds = std::chrono::duration<double>(round * kRounds).count();
        for (std::size_t l = 0; l < loads.size(); ++l) {
            if (!failed[l]) rates[l] = static_cast<double>(answers[l]) / seconds;
        }
    }
    for (int& fd : fds) CloseFd(fd);
    return rates;
}

}  // namespace

void MeasureLatency(const Settings& settings, std::vector<Row>& rows) {
    Station station;
    if (!station.StartWithRadio()) {
        rows.push_back(
            {"1-3", "server with the radio simulator", "not run", "", "", "", Verdict::Missed});
        std::fprintf(stderr, "figures 1-3: %s\n", station.failure.c_str());
        return;
    }
    int direct = OpenRawTerminal(station.twin.Path());

    // 1: a TCP session.
    std::fprintf(stderr, "figure 1: CAT round trip over TCP...\n");
    {
        int session = ConnectLoopback(station.server.Port());
        LatencyRows("1", "CAT query over TCP",
                    Interleave({session, direct}, settings.latencySamples), rows);
        CloseFd(session);
    }

    // 3: many TCP sessions at once.
    std::fprintf(stderr, "figure 3: throughput with 1, 8 and 64 clients...\n");
    {
        const std::vector<Load> loads{{1, false}, {8, false}, {64, false}, {8, true}};
        const auto rates = TransactionRates(station.server.Port(), loads, settings.throughputWindow);
        const std::optional<double> one = rates[0];
        for (std::size_t l = 0; l < loads.size(); ++l) {
            const std::size_t clients = loads[l].clients;
            const std::string what = "Throughput, " + std::to_string(clients) +
                                     (clients == 1 ? " client" : " clients") +
                                     (loads[l].distinct ? ", distinct reads" : "");
            const std::optional<double>& rate = rates[l];
            if (!rate) {
                rows.push_back({"3", what, "failed", "", "", "", Verdict::Missed});
                continue;
            }
            if (l == 0) {
                rows.push_back({"3", what, Fixed(*rate, 0) + " tx/s", "", "", "", Verdict::Info});
                continue;
            }
            const double ratio = one ? *rate / *one : 0;
            // Distinct reads cannot share: each turn passes to the next caller
            // in order, which costs a thread's wake-up (shown, not a target).
            const bool target = clients == 64 && !loads[l].distinct;
            rows.push_back({"3", what, Fixed(*rate, 0) + " tx/s",
                            one ? Fixed(*one, 0) + " tx/s (1 client)" : "",
                            one ? Fixed(100 * ratio, 0) + " %" : "", target ? ">= 90 %" : "",
                            target ? Check(ratio >= 0.9) : Verdict::Info});
        }
    }

    // 2: an app group's CAT relay on a pseudo-terminal: the server opens the
    // slave, the benchmark plays the station program on the master.
    std::fprintf(stderr, "figure 2: CAT round trip through a group's CAT relay...\n");
    {
        PseudoTerminal program;
        const std::string document = "{\"ports\": {" + station.CatEntry() +
                                     "}, \"ext_groups\": {\"1\": {\"name\": \"Bench\", "
                                     "\"cat\": {\"port\": \"" +
                                     program.SlavePath() + "\", \"baud\": 38400}}}}";
        if (!program.IsOpen() ||
            !station.Configure(document, "[relay] CAT relay started for group 1 on")) {
            rows.push_back({"2", "CAT query through a group's CAT relay", "not run", "", "", "",
                            Verdict::Missed});
            std::fprintf(stderr, "figure 2: %s\n", station.failure.c_str());
        } else {
            BareRelay bare(station.twin.Path());
            std::vector<int> fds{program.MasterFd(), direct};
            if (bare.Running()) fds.push_back(bare.ProgramFd());
            LatencyRows("2", "CAT query through a CAT relay",
                        Interleave(fds, settings.latencySamples), rows);
        }
    }
    CloseFd(direct);
}

}  // namespace brinmoor::bench
