#include "load_run.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>

#include "procstats/proc_stats.h"

namespace brinmoor::load {

volatile std::sig_atomic_t stopRequested = 0;

namespace {

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

    Milliseconds ReplyTimeout() const {
        return Milliseconds(settings.replyTimeoutSeconds * 1000LL);
    }

    long long Uniform(long long low, long long high) {
        return std::uniform_int_distribution<long long>(low, high)(random);
    }

    void Fault(const std::string& text) {
        if (settings.verbose) std::fprintf(stderr, "brinmoor-load: %s\n", text.c_str());
        if (result.faults.size() < kMaxFaultsKept) result.faults.push_back(text);
    }

    long long NextChurn() { return settings.churn == 0 ? -1 : Uniform(1, 2LL * settings.churn); }

    // Hangs up; the client comes back after a short pause while the run sends.
    void Disconnect(LoadClient& client, Clock::time_point now, Milliseconds pause) {
        if (client.fd >= 0) close(client.fd);
        client.fd = -1;
        client.phase = Phase::Waiting;
        client.out.clear();
        client.in.clear();
        client.waiting.clear();
        client.due = now + pause;
    }

    void Lose(LoadClient& client, Clock::time_point now, const std::string& why) {
        result.missing += static_cast<long long>(client.waiting.size());
        Fault(why + (client.waiting.empty()
                         ? std::string()
                         : ", " + std::to_string(client.waiting.size()) + " replies missing"));
        Disconnect(client, now, kRetryConnect);
    }

    void Connect(LoadClient& client, Clock::time_point now) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            ++result.connectFailures;
            Fault(std::string("socket: ") + std::strerror(errno));
            client.due = now + kRetryConnect;
            return;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(settings.port);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        client.fd = fd;
        client.connectStarted = now;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) {
            Opened(client, now);
        } else if (errno == EINPROGRESS) {
            client.phase = Phase::Connecting;
        } else {
            ++result.connectFailures;
            Fault(std::string("connect: ") + std::strerror(errno));
            Disconnect(client, now, kRetryConnect);
        }
    }

    void Opened(LoadClient& client, Clock::time_point now) {
        ++result.connections;
        client.phase = Phase::Open;
        client.due = now;
        client.repliesLeft = NextChurn();
    }

    void FinishConnect(LoadClient& client, Clock::time_point now) {
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error == 0) {
            Opened(client, now);
            return;
        }
        ++result.connectFailures;
        Fault(std::string("connect: ") + std::strerror(error));
        Disconnect(client, now, kRetryConnect);
    }

    void SendBurst(LoadClient& client, Clock::time_point now) {
        const auto room =
            static_cast<long long>(settings.depth) - static_cast<long long>(client.waiting.size());
        if (room <= 0) return;
        const long long burst = Uniform(1, room);
        for (long long i = 0; i < burst; ++i) {
            const QueryKind kind = PickQuery(random);
            client.out += QueryText(kind, settings.baseline);
            if (ExpectsReply(kind)) {
                client.waiting.push_back({kind, now});
                ++result.queries;
            } else {
                ++result.setCommands;
            }
        }
        client.due = now + Milliseconds(Uniform(0, settings.paceMs));
    }

    void Write(LoadClient& client, Clock::time_point now) {
        // Now and then only a piece, so that frames also arrive split.
        std::size_t size = client.out.size();
        if (size > 1 && Uniform(0, 7) == 0) size = static_cast<std::size_t>(Uniform(1, size - 1));
        const ssize_t n = send(client.fd, client.out.data(), size, MSG_NOSIGNAL);
        if (n > 0) {
            client.out.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            ++result.droppedConnections;
            Lose(client, now, std::string("send: ") + std::strerror(errno));
        }
    }

    void NoteLatency(Clock::time_point sent, Clock::time_point now) {
        const long long ms = std::chrono::duration_cast<Milliseconds>(now - sent).count();
        const auto bucket =
            static_cast<std::size_t>(std::clamp<long long>(ms, 0, latencyCounts.size() - 1));
        ++latencyCounts[bucket];
        result.latencyMaxMs = std::max(result.latencyMaxMs, ms);
    }

    // Returns false when the client was disconnected.
    bool TakeReply(LoadClient& client, const std::string& reply, Clock::time_point now) {
        ++result.replies;
        if (client.waiting.empty()) {
            ++result.wrong;
            Fault("a reply nobody asked for: " + reply.substr(0, 80));
            return true;
        }
        const Pending pending = client.waiting.front();
        client.waiting.pop_front();
        NoteLatency(pending.sent, now);
        switch (CheckReply(pending.kind, reply, settings.baseline)) {
            case Verdict::Right:
                break;
            case Verdict::Err:
                ++result.errReplies;
                Fault(std::string("the radio did not answer ") + QueryName(pending.kind) + ";");
                break;
            case Verdict::Wrong:
                ++result.wrong;
                Fault(std::string(QueryName(pending.kind)) + "; was answered " +
                      reply.substr(0, 80) + ";");
                break;
        }
        if (client.phase == Phase::Open && client.repliesLeft > 0 && --client.repliesLeft == 0) {
            if (Uniform(0, 3) == 0) {
                // Hangs up with replies still on their way: the server must
                // cope with a peer that is gone in the middle of a reply.
                result.abandoned += static_cast<long long>(client.waiting.size());
                Disconnect(client, now, Milliseconds(Uniform(0, 50)));
                return false;
            }
            client.phase = Phase::Closing;  // hangs up once every reply is in
        }
        return true;
    }

    void Read(LoadClient& client, Clock::time_point now) {
        char buffer[16384];
        for (;;) {
            const ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                client.in.append(buffer, static_cast<std::size_t>(n));
                if (static_cast<std::size_t>(n) < sizeof buffer) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            ++result.droppedConnections;
            Lose(client, now,
                 n == 0 ? std::string("the server closed a connection")
                        : std::string("recv: ") + std::strerror(errno));
            return;
        }
        std::size_t taken = 0;
        for (;;) {
            const auto end = client.in.find(';', taken);
            if (end == std::string::npos) break;
            const std::string reply = client.in.substr(taken, end - taken);
            taken = end + 1;
            if (!TakeReply(client, reply, now)) return;
        }
        client.in.erase(0, taken);
        if (client.in.size() > kMaxReplyBytes) {
            ++result.wrong;
            Lose(client, now, "a megabyte without \";\" from the server");
        }
    }

    void RunTimers(LoadClient& client, Clock::time_point now) {
        if (!client.waiting.empty() && now - client.waiting.front().sent > ReplyTimeout()) {
            Lose(client, now,
                 std::string("no reply to ") + QueryName(client.waiting.front().kind) + "; in " +
                     std::to_string(settings.replyTimeoutSeconds) + " s");
            return;
        }
        switch (client.phase) {
            case Phase::Waiting:
                if (sending && now >= client.due) Connect(client, now);
                break;
            case Phase::Connecting:
                if (!sending || now - client.connectStarted > ReplyTimeout()) {
                    if (sending) {
                        ++result.connectFailures;
                        Fault("a connection took longer than the reply time-out");
                    }
                    Disconnect(client, now, kRetryConnect);
                }
                break;
            case Phase::Open:
                if (!sending) {
                    client.phase = Phase::Closing;
                } else if (now >= client.due) {
                    SendBurst(client, now);
                }
                break;
            case Phase::Closing:
                break;
        }
        if (client.phase == Phase::Closing && client.waiting.empty() && client.out.empty()) {
            Disconnect(client, now, Milliseconds(Uniform(0, 50)));
        }
    }

    void DrainServerOutput() {
        if (settings.server == nullptr) return;
        TakeLines(settings.server->out);  // progress lines: read so the pipe never fills
        for (const std::string& line : TakeLines(settings.server->err)) {
            ++result.serverErrorLines;
            Fault("server: " + line);
        }
    }

    void Sample() {
        if (settings.serverPid == 0) return;
        const ProcFigures status = ReadProcFigures(settings.serverPid);
        if (!status.ok) return;
        result.maxRssKb = std::max({result.maxRssKb, status.rssKb, status.peakKb});
        result.maxThreads = std::max(result.maxThreads, status.threads);
    }

    bool AnyConnected() const {
        return std::any_of(clients.begin(), clients.end(),
                           [](const LoadClient& c) { return c.fd >= 0; });
    }

    void Progress(Clock::time_point now) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - start).count();
        std::printf(
            "  %4lld s: %lld queries, %lld replies, %lld wrong, %lld missing, %lld errors\n",
            static_cast<long long>(seconds), result.queries, result.replies, result.wrong,
            result.missing, result.Errors());
        std::fflush(stdout);
    }

    void Loop();
    void Summarise();
};

void Run::Loop() {
    start = Clock::now();
    endOfSending = start + std::chrono::seconds(settings.seconds);
    // However the server behaves, the run ends: every reply has had its time.
    const auto hardEnd = endOfSending + ReplyTimeout() + std::chrono::seconds(5);
    // Clients start spread over the first half second instead of all at once.
    for (LoadClient& client : clients) client.due = start + Milliseconds(Uniform(0, 500));
    const double cpuAtStart = settings.serverPid != 0 ? CpuSeconds(settings.serverPid) : -1;
    auto nextSample = start;
    auto nextProgress = start + kProgressEvery;
    std::vector<pollfd> fds;
    std::vector<LoadClient*> owners;

    for (;;) {
        auto now = Clock::now();
        if (sending && (now >= endOfSending || stopRequested != 0)) {
            sending = false;
            result.interrupted = stopRequested != 0;
        }
        if (settings.server != nullptr && !Running(*settings.server)) {
            if (!result.serverEnded) Fault("the server ended during the run");
            result.serverEnded = true;
            sending = false;
        }
        if (!sending && (!AnyConnected() || now >= hardEnd || result.serverEnded)) break;
        if (now >= nextSample) {
            Sample();
            nextSample = now + kSampleEvery;
        }
        if (sending && now >= nextProgress) {
            Progress(now);
            nextProgress += kProgressEvery;
        }

        fds.clear();
        owners.clear();
        auto wake = now + kMaxPollWait;
        for (LoadClient& client : clients) {
            RunTimers(client, now);
            if (client.phase == Phase::Waiting) {
                if (sending) wake = std::min(wake, client.due);
                continue;
            }
            short events = POLLIN;
            if (client.phase == Phase::Connecting || !client.out.empty()) events |= POLLOUT;
            if (client.phase == Phase::Open &&
                client.waiting.size() < std::size_t(settings.depth)) {
                wake = std::min(wake, client.due);
            }
            fds.push_back({client.fd, events, 0});
            owners.push_back(&client);
        }
        if (settings.server != nullptr) {
            if (settings.server->out.fd >= 0) fds.push_back({settings.server->out.fd, POLLIN, 0});
            if (settings.server->err.fd >= 0) fds.push_back({settings.server->err.fd, POLLIN, 0});
        }
        const auto waitMs = std::chrono::ceil<Milliseconds>(wake - now).count();
        const int ready =
            poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(waitMs, 0, 100)));
        if (ready < 0 && errno != EINTR) {
            Fault(std::string("poll: ") + std::strerror(errno));
            break;
        }
        now = Clock::now();
        for (std::size_t i = 0; i < owners.size(); ++i) {
            LoadClient& client = *owners[i];
            const short revents = fds[i].revents;
            if (revents == 0 || client.fd != fds[i].fd) continue;
            if (client.phase == Phase::Connecting) {
                if (revents & (POLLOUT | POLLERR | POLLHUP)) FinishConnect(client, now);
                continue;
            }
            if (revents & (POLLIN | POLLERR | POLLHUP)) Read(client, now);
            if (client.fd >= 0 && (revents & POLLOUT) && !client.out.empty()) Write(client, now);
        }
        DrainServerOutput();
    }

    // Whatever is still awaited now will not come.
    const auto now = Clock::now();
    for (LoadClient& client : clients) {
        if (!client.waiting.empty()) Lose(client, now, "the run ended before the reply came");
        Disconnect(client, now, Milliseconds(0));
    }
    DrainServerOutput();
    Sample();
    result.elapsedSeconds = std::chrono::duration<double>(now - start).count();
    if (cpuAtStart >= 0) {
        const double cpuAtEnd = CpuSeconds(settings.serverPid);
        if (cpuAtEnd >= 0) result.cpuSeconds = cpuAtEnd - cpuAtStart;
    }
}

void Run::Summarise() {
    long long total = 0;
    for (long long count : latencyCounts) total += count;
    auto percentile = [&](double share) -> long long {
        if (total == 0) return 0;
        const auto wanted = static_cast<long long>(share * static_cast<double>(total - 1)) + 1;
        long long seen = 0;
        for (std::size_t ms = 0; ms < latencyCounts.size(); ++ms) {
            seen += latencyCounts[ms];
            if (seen >= wanted) return static_cast<long long>(ms);
        }
        return static_cast<long long>(latencyCounts.size() - 1);
    };
    result.latencyMedianMs = percentile(0.5);
    result.latencyP99Ms = percentile(0.99);
}

}  // namespace

RunResult RunLoad(const RunSettings& settings) {
    Run run(settings);
    run.Loop();
    run.Summarise();
    return run.result;
}

}  // namespace brinmoor::load
