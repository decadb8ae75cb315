#include "platform/tcp_endpoint.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/socket.h"

namespace brinmoor {

struct TcpEndpoint {
    EndpointOptions options;
    SocketHandle listener = kInvalidSocket;
    // Changed only by the waiting thread, under mutex, so that a write from
    // another thread never sends on a closed (or reused) handle.
    SocketHandle connection = kInvalidSocket;
    std::uint32_t peer = 0;
    bool gone = false;  // outgoing: the far end closed or failed
    std::mutex mutex;
    // Received and not yet read: one receive call takes what has come.
    char buffer[512];
    std::size_t have = 0;
    std::size_t next = 0;
};

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kAcceptFailurePauseMs = 100;  // out of handles: do not spin on the listener

void Tell(const TcpEndpoint& endpoint, EndpointNote note) {
    if (endpoint.options.told) endpoint.options.told(note);
}

void SetConnection(TcpEndpoint& endpoint, SocketHandle connection, std::uint32_t peer) {
    SocketHandle old;
    {
        std::lock_guard<std::mutex> guard(endpoint.mutex);
        old = std::exchange(endpoint.connection, connection);
        endpoint.peer = peer;
    }
    if (old != kInvalidSocket) CloseSocketAtOnce(old);
}

void TakeProgram(TcpEndpoint& endpoint, int waitMs) {
    std::uint32_t peer = 0;
    const SocketHandle program = AcceptConnection(endpoint.listener, &peer);
    if (program == kInvalidSocket) {
        std::this_thread::sleep_for(milliseconds(std::min(waitMs, kAcceptFailurePauseMs)));
        return;
    }
    if (endpoint.options.admits && !endpoint.options.admits(peer)) {
        CloseSocketAtOnce(program);
        Tell(endpoint, {EndpointEvent::RefusedNotAllowed, peer, {}});
        return;
    }
    if (endpoint.connection != kInvalidSocket) {
        CloseSocketAtOnce(program);
        Tell(endpoint, {EndpointEvent::RefusedBusy, peer, {}});
        return;
    }
    TuneConnection(program, kTcpSendTimeoutMs);
    SetConnection(endpoint, program, peer);
    Tell(endpoint, {EndpointEvent::Connected, peer, {}});
}

void Receive(TcpEndpoint& endpoint) {
    const std::ptrdiff_t got =
        ReceiveSome(endpoint.connection, endpoint.buffer, sizeof endpoint.buffer);
    if (got > 0) {
        endpoint.have = static_cast<std::size_t>(got);
        endpoint.next = 0;
        return;
    }
    // 0: the far end closed; -1: the connection failed (reset, keep-alive).
    const std::uint32_t peer = endpoint.peer;
    SetConnection(endpoint, kInvalidSocket, 0);
    if (endpoint.options.outgoing) {
        endpoint.gone = true;
    } else {
        Tell(endpoint, {EndpointEvent::Disconnected, peer, {}});
    }
}

bool Ready(const TcpEndpoint& endpoint) {
    return endpoint.next < endpoint.have || endpoint.gone;
}

// Serves the endpoint until a byte is buffered or the far end is gone
// (true), or the deadline passes (false).
bool ServeUntil(TcpEndpoint& endpoint, Clock::time_point deadline) {
    for (;;) {
        if (Ready(endpoint)) return true;
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        const int waitMs = static_cast<int>(left);
        const SocketHandle sockets[2] = {endpoint.connection, endpoint.listener};
        bool ready[2] = {false, false};
        if (WaitReadableAny(sockets, ready, 2, waitMs) == SocketWait::Error) {
            std::this_thread::sleep_until(deadline);  // never spin on a failing wait
            return false;
        }
        if (ready[0]) Receive(endpoint);
        if (ready[1]) TakeProgram(endpoint, waitMs);
    }
}

}  // namespace

TcpEndpoint* OpenTcpEndpoint(const EndpointName& name, const EndpointOptions& options) {
    auto endpoint = std::make_unique<TcpEndpoint>();
    endpoint->options = options;
    const SocketHandle socket = CreateTcpSocket();
    if (socket == kInvalidSocket) {
        Tell(*endpoint, {EndpointEvent::NotOpened, 0, "no socket (error " +
                                                          std::to_string(LastSocketError()) + ")"});
        return nullptr;
    }
    if (options.outgoing) {
        if (!ConnectSocketWithin(socket, name.address, name.port, kTcpConnectMs)) {
            CloseSocket(socket);
            return nullptr;
        }
        TuneConnection(socket, kTcpSendTimeoutMs);
        endpoint->connection = socket;
        return endpoint.release();
    }
    SetListenerAddressOption(socket);
    if (!BindSocket(socket, name.address, name.port) ||
        !ListenSocket(socket, kTcpListenBacklog)) {
        const int error = LastSocketError();
        CloseSocket(socket);
        Tell(*endpoint, {EndpointEvent::NotOpened, 0,
                         "cannot listen on " + name.address + ":" + std::to_string(name.port) +
                             " (error " + std::to_string(error) + ")"});
        return nullptr;
    }
    endpoint->listener = socket;
    return endpoint.release();
}

void CloseTcpEndpoint(TcpEndpoint* endpoint) {
    if (endpoint == nullptr) return;
    if (endpoint->connection != kInvalidSocket) CloseSocketAtOnce(endpoint->connection);
    if (endpoint->listener != kInvalidSocket) CloseSocket(endpoint->listener);
    delete endpoint;
}

SerialRead ReadTcpByte(TcpEndpoint* endpoint, int timeoutMs, char& byte) {
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    if (!ServeUntil(*endpoint, deadline)) return SerialRead::Idle;
    if (endpoint->next < endpoint->have) {
        byte = endpoint->buffer[endpoint->next++];
        return SerialRead::Byte;
    }
    // Gone: still take the whole time-out, so a dead link never spins a caller.
    std::this_thread::sleep_until(deadline);
    return SerialRead::Gone;
}

SerialWrite WriteTcpEndpoint(TcpEndpoint* endpoint, std::string_view bytes) {
    std::lock_guard<std::mutex> guard(endpoint->mutex);
    const bool sent = endpoint->connection != kInvalidSocket && SendAll(endpoint->connection, bytes);
    if (sent) return SerialWrite::Done;
    // A program may come and go; the radio's connection failing is its loss.
    return endpoint->options.outgoing ? SerialWrite::Gone : SerialWrite::Failed;
}

std::uint32_t TcpInputQueueLength(TcpEndpoint* endpoint) {
    std::size_t queued = endpoint->have - endpoint->next;
    if (endpoint->connection != kInvalidSocket) queued += SocketQueueLength(endpoint->connection);
    return static_cast<std::uint32_t>(std::min<std::size_t>(queued, UINT32_MAX));
}

bool WaitForTcpInput(TcpEndpoint* endpoint, int milliseconds) {
    return ServeUntil(*endpoint, Clock::now() + std::chrono::milliseconds(milliseconds));
}

}  // namespace brinmoor
