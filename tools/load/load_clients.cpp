#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "load_clients.h"

namespace brinmoor::load::detail {

Milliseconds Run::ReplyTimeout() const {
    return Milliseconds(settings.replyTimeoutSeconds * 1000LL);
}

long long Run::Uniform(long long low, long long high) {
    return std::uniform_int_distribution<long long>(low, high)(random);
}

void Run::Fault(const std::string& text) {
    if (settings.verbose) std::fprintf(stderr, "brinmoor-load: %s\n", text.c_str());
    if (result.faults.size() < kMaxFaultsKept) result.faults.push_back(text);
}

long long Run::NextChurn() {
    return settings.churn == 0 ? -1 : Uniform(1, 2LL * settings.churn);
}

// Hangs up; the client comes back after a short pause while the run sends.
void Run::Disconnect(LoadClient& client, Clock::time_point now, Milliseconds pause) {
    if (client.fd >= 0) close(client.fd);
    client.fd = -1;
    client.phase = Phase::Waiting;
    client.out.clear();
    client.in.clear();
    client.waiting.clear();
    client.due = now + pause;
}

void Run::Lose(LoadClient& client, Clock::time_point now, const std::string& why) {
    result.missing += static_cast<long long>(client.waiting.size());
    Fault(why + (client.waiting.empty()
                     ? std::string()
                     : ", " + std::to_string(client.waiting.size()) + " replies missing"));
    Disconnect(client, now, kRetryConnect);
}

void Run::Connect(LoadClient& client, Clock::time_point now) {
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

void Run::Opened(LoadClient& client, Clock::time_point now) {
    ++result.connections;
    client.phase = Phase::Open;
    client.due = now;
    client.repliesLeft = NextChurn();
}

void Run::FinishConnect(LoadClient& client, Clock::time_point now) {
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

void Run::SendBurst(LoadClient& client, Clock::time_point now) {
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

void Run::Write(LoadClient& client, Clock::time_point now) {
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

void Run::NoteLatency(Clock::time_point sent, Clock::time_point now) {
    const long long ms = std::chrono::duration_cast<Milliseconds>(now - sent).count();
    const auto bucket =
        static_cast<std::size_t>(std::clamp<long long>(ms, 0, latencyCounts.size() - 1));
    ++latencyCounts[bucket];
    result.latencyMaxMs = std::max(result.latencyMaxMs, ms);
}

// Returns false when the client was disconnected.
bool Run::TakeReply(LoadClient& client, const std::string& reply, Clock::time_point now) {
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
            Fault(std::string(QueryName(pending.kind)) + "; was answered " + reply.substr(0, 80) +
                  ";");
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

void Run::Read(LoadClient& client, Clock::time_point now) {
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

void Run::RunTimers(LoadClient& client, Clock::time_point now) {
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

}  // namespace brinmoor::load::detail
