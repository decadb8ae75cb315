#include "server_connection.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace brinmoor {
namespace {

// A connect runs on a thread of its own so that the caller can give up on
// it; the thread closes the socket itself when nobody waits any more.
struct ConnectAttempt {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    bool connected = false;
    int error = 0;
};

std::string DescribeError(int error) {
    return std::system_category().message(error) + " (error " + std::to_string(error) + ")";
}

}  // namespace

ServerConnection::~ServerConnection() {
    if (socket != kInvalidSocket) CloseSocket(socket);
}

std::string ServerConnection::Connect(const std::string& address, std::uint16_t port,
                                      std::chrono::milliseconds timeout) {
    const SocketHandle candidate = CreateTcpSocket();
    if (candidate == kInvalidSocket) {
        return "cannot create a socket: " + DescribeError(LastSocketError());
    }
    auto attempt = std::make_shared<ConnectAttempt>();
    try {
        std::thread([attempt, candidate, address, port] {
            const bool connected = ConnectSocket(candidate, address, port);
            const int error = connected ? 0 : LastSocketError();
            std::lock_guard<std::mutex> lock(attempt->mutex);
            attempt->done = true;
            attempt->connected = connected;
            attempt->error = error;
            if (attempt->abandoned) CloseSocket(candidate);
            attempt->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        CloseSocket(candidate);
        return "cannot start a thread for the connection";
    }

    std::unique_lock<std::mutex> lock(attempt->mutex);
    if (!attempt->finished.wait_for(lock, timeout, [&] { return attempt->done; })) {
        attempt->abandoned = true;
        return "no answer within " + std::to_string(timeout.count()) +
               " ms (is the address right, and does a firewall let the port through?)";
    }
    if (!attempt->connected) {
        CloseSocket(candidate);
        return DescribeError(attempt->error) +
               " (is brinmoor running, and listening on this port?)";
    }
    socket = candidate;
    return {};
}

bool ServerConnection::Send(std::string_view bytes) {
    return socket != kInvalidSocket && SendAll(socket, bytes);
}

ServerReply ServerConnection::ReadReply(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (const std::size_t end = received.find(';'); end != std::string::npos) {
            ServerReply reply{ReplyStatus::Reply, received.substr(0, end)};
            received.erase(0, end + 1);
            return reply;
        }
        if (socket == kInvalidSocket) return {ReplyStatus::Closed, {}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return {ReplyStatus::TimedOut, {}};
        const SocketWait wait = WaitReadable(socket, static_cast<int>(left.count()));
        if (wait == SocketWait::Timeout) continue;
        char buffer[1024];
        const std::ptrdiff_t got =
            wait == SocketWait::Error ? -1 : ReceiveSome(socket, buffer, sizeof buffer);
        if (got <= 0) {
            CloseSocket(socket);
            socket = kInvalidSocket;
            return {ReplyStatus::Closed, received};
        }
        received.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace brinmoor
