#pragma once
// One load run: its clients and what each does on the wire (load_clients.cpp:
// connect, send bursts of queries, check each reply against the query at the
// front of its own queue, hang up and come back), and the poll() loop that
// drives them all and watches the server (load_run.cpp).
#include <chrono>
#include <cstddef>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "load_run.h"

namespace brinmoor::load::detail {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr std::size_t kMaxFaultsKept = 12;
constexpr std::size_t kMaxReplyBytes = 1 << 20;  // a "reply" this long without ";" is garbage
constexpr Milliseconds kRetryConnect{200};
constexpr Milliseconds kSampleEvery{250};
constexpr Milliseconds kProgressEvery{10000};
constexpr Milliseconds kMaxPollWait{100};

enum class Phase { Waiting, Connecting, Open, Closing };

struct Pending {
    QueryKind kind;
    Clock::time_point sent;
};

struct LoadClient {
    int fd = -1;
    Phase phase = Phase::Waiting;
    Clock::time_point due;  // Waiting: when to connect; Open: when to send next
    Clock::time_point connectStarted;
    std::string out;
    std::string in;
    std::deque<Pending> waiting;
    long long repliesLeft = 0;  // before the next hang-up
};

struct Run {
    const RunSettings& settings;
    RunResult result;
    std::mt19937_64 random;
    std::vector<LoadClient> clients;
    std::vector<long long> latencyCounts;  // by whole milliseconds
    Clock::time_point start;
    Clock::time_point endOfSending;
    bool sending = true;

    explicit Run(const RunSettings& given)
        : settings(given),
          random(given.seed),
          clients(static_cast<std::size_t>(given.clients)),
          latencyCounts(static_cast<std::size_t>(given.replyTimeoutSeconds) * 1000 + 1) {}

    Milliseconds ReplyTimeout() const;
    long long Uniform(long long low, long long high);
    void Fault(const std::string& text);
    long long NextChurn();
    // Hangs up; the client comes back after a short pause while the run sends.
    void Disconnect(LoadClient& client, Clock::time_point now, Milliseconds pause);
    void Lose(LoadClient& client, Clock::time_point now, const std::string& why);
    void Connect(LoadClient& client, Clock::time_point now);
    void Opened(LoadClient& client, Clock::time_point now);
    void FinishConnect(LoadClient& client, Clock::time_point now);
    void SendBurst(LoadClient& client, Clock::time_point now);
    void Write(LoadClient& client, Clock::time_point now);
    void NoteLatency(Clock::time_point sent, Clock::time_point now);
    // Returns false when the client was disconnected.
    bool TakeReply(LoadClient& client, const std::string& reply, Clock::time_point now);
    void Read(LoadClient& client, Clock::time_point now);
    void RunTimers(LoadClient& client, Clock::time_point now);

    // load_run.cpp
    void DrainServerOutput();
    void Sample();
    bool AnyConnected() const;
    void Progress(Clock::time_point now);
    void Loop();
    void Summarise();
};

}  // namespace brinmoor::load::detail
