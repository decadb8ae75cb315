// Figures 8 to 10: several programs polling the radio at once, against the
// simulator answering each command after 15 ms, as a real transceiver takes
// its time. 8: programs polling the same reads through app groups; 9: the
// same from TCP clients; 10: programs polling distinct reads (nothing to
// share) through app groups. Each count of programs runs in short rounds in
// turn with the others, so that the one-program figure it is compared with
// sees the same moments of a shared machine.
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "bench.h"
#include "station.h"
#include "support/posix/pty.h"

namespace brinmoor::bench {
namespace {

using test::PseudoTerminal;

constexpr int kRadioDelayMs = 15;
constexpr std::size_t kCounts[] = {1, 2, 4, 8};
constexpr std::size_t kMostPrograms = 8;
constexpr int kRounds = 3;
// All queries in the simulator's dialect (ID019): the bare codes read, SM0
// reads the main receiver's S-meter.
const std::vector<std::string> kSameReads{"FA;", "IF;", "SM0;", "MD;"};

// One program: it keeps one read in flight and sends the next of its reads
// as soon as the answer is there.
struct Program {
    int fd = -1;
    std::vector<std::string> reads;
    std::size_t next = 0;
    std::string buffer;
    long answers = 0;
    long wrong = 0;  // an answer to another command, "?;" or an ERR reply
};

struct Tally {
    std::vector<double> perSecond;  // each program's answers a second
    double radioPerSecond = 0;      // commands the radio received a second
    long wrong = 0;
};

// The first `count` programs poll for the window; then no new read is sent
// and the last answers are collected, so the next round starts clean.
std::optional<Tally> Poll(std::vector<Program>& programs, std::size_t count, test::RadioSim& radio,
                          milliseconds window) {
    const int set = ::epoll_create1(EPOLL_CLOEXEC);
    if (set < 0) return std::nullopt;
    const auto before = radio.CommandCount();
    bool ok = before.has_value();
    const auto start = Clock::now();
    for (std::size_t i = 0; i < count && ok; ++i) {
        Program& program = programs[i];
        // In step: every round starts with the first read.
        program.next = 0;
        program.answers = program.wrong = 0;
        program.buffer.clear();
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        ok = ::epoll_ctl(set, EPOLL_CTL_ADD, program.fd, &event) == 0 &&
             WriteAll(program.fd, program.reads[program.next]);
    }
    std::optional<long long> after;
    auto elapsed = window;
    std::size_t outstanding = count;
    epoll_event events[kMostPrograms];
    while (ok && outstanding > 0) {
        const int ready = ::epoll_wait(set, events, kMostPrograms, 2000);
        if (ready < 0 && errno == EINTR) continue;
        ok = ready > 0;  // two seconds without any answer: stuck
        for (int e = 0; ok && e < ready; ++e) {
            Program& program = programs[events[e].data.u64];
            char chunk[512];
            const ssize_t n = ::read(program.fd, chunk, sizeof chunk);
            ok = n > 0;
            if (!ok) break;
            program.buffer.append(chunk, static_cast<std::size_t>(n));
            std::size_t end;
            while (ok && (end = program.buffer.find(';')) != std::string::npos) {
                const std::string& asked = program.reads[program.next];
                const bool right = program.buffer.compare(0, 2, asked, 0, 2) == 0;
                program.buffer.erase(0, end + 1);
                program.next = (program.next + 1) % program.reads.size();
                if (!after && Clock::now() - start >= window) {
                    elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
                    after = radio.CommandCount();
                    ok = after.has_value();
                }
                if (after) {
                    --outstanding;
                    continue;
                }
                ++(right ? program.answers : program.wrong);
                ok = WriteAll(program.fd, program.reads[program.next]);
            }
        }
    }
    ::close(set);
    if (!ok) return std::nullopt;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    Tally tally;
    for (std::size_t i = 0; i < count; ++i) {
        tally.perSecond.push_back(static_cast<double>(programs[i].answers) / seconds);
        tally.wrong += programs[i].wrong;
    }
    tally.radioPerSecond = static_cast<double>(*after - *before) / seconds;
    return tally;
}

// Every count in turn, kRounds times; the rounds of one count are averaged.
std::optional<std::vector<Tally>> PollInRounds(std::vector<Program>& programs,
                                               test::RadioSim& radio, milliseconds window) {
    std::vector<Tally> sums(std::size(kCounts));
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t c = 0; c < std::size(kCounts); ++c) {
            const auto tally = Poll(programs, kCounts[c], radio, window);
            if (!tally) return std::nullopt;
            Tally& sum = sums[c];
            sum.perSecond.resize(kCounts[c]);
            for (std::size_t i = 0; i < kCounts[c]; ++i) {
                sum.perSecond[i] += tally->perSecond[i] / kRounds;
            }
            sum.radioPerSecond += tally->radioPerSecond / kRounds;
            sum.wrong += tally->wrong;
        }
    }
    return sums;
}

std::string Programs(std::size_t count, const char* kind) {
    return std::to_string(count) + " " + kind + (count == 1 ? "" : "s");
}

std::string Wrong(long wrong) {
    return wrong > 0 ? " (" + std::to_string(wrong) + " wrong)" : "";
}

// The same reads: each program against one program alone, and the radio's
// load against one program's.
void SameReadRows(const std::string& figure, const char* kind, const std::vector<Tally>& tallies,
                  std::vector<Row>& rows) {
    const double alone = tallies[0].perSecond[0];
    const double aloneRadio = tallies[0].radioPerSecond;
    for (std::size_t c = 0; c < std::size(kCounts); ++c) {
        const Tally& tally = tallies[c];
        const auto [low, high] = std::minmax_element(tally.perSecond.begin(), tally.perSecond.end());
        const bool target = kCounts[c] == 4;
        const std::string each =
            kCounts[c] == 1 ? Fixed(*low, 1) : Fixed(*low, 1) + " to " + Fixed(*high, 1);
        const bool clean = tally.wrong == 0;
        rows.push_back({figure, Programs(kCounts[c], kind) + ", answers/s each",
                        each + Wrong(tally.wrong), Fixed(alone, 1) + " (1 alone)",
                        Fixed(100 * *low / alone, 0) + " %", target ? ">= 80 %" : "",
                        target ? Check(clean && *low >= 0.8 * alone)
                               : (clean ? Verdict::Info : Verdict::Missed)});
        const double load = tally.radioPerSecond / aloneRadio;
        rows.push_back({figure, Programs(kCounts[c], kind) + ", radio commands/s",
                        Fixed(tally.radioPerSecond, 1), Fixed(aloneRadio, 1) + " (1 alone)",
                        Fixed(load, 2) + " x", target ? "<= 1.10 x" : "",
                        target ? Check(load <= 1.1) : Verdict::Info});
    }
}

// Distinct reads: the slowest program against its fair share of what the
// radio answered in the same rounds.
void DistinctReadRows(const std::vector<Tally>& tallies, std::vector<Row>& rows) {
    for (std::size_t c = 1; c < std::size(kCounts); ++c) {
        const Tally& tally = tallies[c];
        const auto [low, high] = std::minmax_element(tally.perSecond.begin(), tally.perSecond.end());
        double total = 0;
        for (double rate : tally.perSecond) total += rate;
        const double share = total / static_cast<double>(kCounts[c]);
        rows.push_back({"10", Programs(kCounts[c], "program") + ", distinct reads, answers/s each",
                        Fixed(*low, 1) + " to " + Fixed(*high, 1) + Wrong(tally.wrong),
                        Fixed(share, 1) + " fair share (" + Fixed(total, 1) + " / " +
                            std::to_string(kCounts[c]) + ")",
                        Fixed(100 * *low / share, 0) + " %", ">= 90 %",
                        Check(tally.wrong == 0 && *low >= 0.9 * share)});
    }
}

std::string GroupsDocument(const Station& station,
                           const std::vector<std::unique_ptr<PseudoTerminal>>& ports) {
    // Appended piece by piece: GCC 12 warns falsely on literal + string.
    std::string groups;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const std::string number = std::to_string(i + 1);
        if (i > 0) groups += ", ";
        groups.append("\"").append(number).append("\": {\"name\": \"Poller ").append(number);
        groups.append("\", \"cat\": {\"port\": \"").append(ports[i]->SlavePath()).append("\"}}");
    }
    return "{\"ports\": {" + station.CatEntry() + "}, \"ext_groups\": {" + groups + "}}";
}

void NotRun(const std::string& figure, const std::string& what, const std::string& why,
            std::vector<Row>& rows) {
    rows.push_back({figure, what, "not run", "", "", "", Verdict::Missed});
    std::fprintf(stderr, "figure %s: %s\n", figure.c_str(), why.c_str());
}

}  // namespace

void MeasureSharing(const Settings& settings, std::vector<Row>& rows, bool same, bool tcp,
                    bool distinct) {
    Station station;
    station.radioOptions = {"--delay", std::to_string(kRadioDelayMs)};
    std::vector<std::unique_ptr<PseudoTerminal>> ports;
    for (std::size_t i = 0; i < kMostPrograms; ++i) {
        ports.push_back(std::make_unique<PseudoTerminal>());
    }
    if (!station.Start() ||
        !station.Configure(GroupsDocument(station, ports),
                           "[relay] CAT relay started for group " + std::to_string(kMostPrograms))) {
        NotRun("8-10", "programs polling the radio", station.failure, rows);
        return;
    }
    const milliseconds window = settings.sharingWindow;
    auto programs = [&](bool overTcp, bool distinctReads) {
        std::vector<Program> list(kMostPrograms);
        for (std::size_t i = 0; i < kMostPrograms; ++i) {
            list[i].fd = overTcp ? ConnectLoopback(station.server.Port()) : ports[i]->MasterFd();
            list[i].reads =
                distinctReads ? std::vector<std::string>{std::string(kDistinctReads[i])} : kSameReads;
        }
        return list;
    };
    auto closeAll = [](std::vector<Program>& list) {
        for (Program& program : list) CloseFd(program.fd);
    };

    if (same) {
        std::fprintf(stderr, "figure 8: programs polling the same reads through app groups...\n");
        std::vector<Program> list = programs(false, false);
        if (const auto tallies = PollInRounds(list, station.radio, window)) {
            SameReadRows("8", "program", *tallies, rows);
        } else {
            NotRun("8", "programs polling the same reads", "a program got no answer", rows);
        }
    }
    if (tcp) {
        std::fprintf(stderr, "figure 9: TCP clients polling the same reads...\n");
        std::vector<Program> list = programs(true, false);
        const auto tallies = PollInRounds(list, station.radio, window);
        if (tallies) {
            SameReadRows("9", "TCP client", *tallies, rows);
        } else {
            NotRun("9", "TCP clients polling the same reads", "a client got no answer", rows);
        }
        closeAll(list);
    }
    if (distinct) {
        std::fprintf(stderr, "figure 10: programs polling distinct reads through app groups...\n");
        std::vector<Program> list = programs(false, true);
        if (const auto tallies = PollInRounds(list, station.radio, window)) {
            DistinctReadRows(*tallies, rows);
        } else {
            NotRun("10", "programs polling distinct reads", "a program got no answer", rows);
        }
    }
}

}  // namespace brinmoor::bench
