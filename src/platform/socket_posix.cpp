#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/socket.h"

namespace brinmoor {
namespace {

int Fd(SocketHandle socket) {
    return static_cast<int>(socket);
}

bool AddressOf(const std::string& address, std::uint16_t port, sockaddr_in& remote) {
    remote = {};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &remote.sin_addr) == 1) return true;
    errno = EINVAL;
    return false;
}

template <typename T>
void SetOption(SocketHandle socket, int level, int name, const T& value) {
    ::setsockopt(Fd(socket), level, name, &value, sizeof value);
}

}  // namespace

bool StartSockets() {
    return true;
}

void CleanupSockets() {}

SocketHandle CreateTcpSocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

void SetListenerAddressOption(SocketHandle socket) {
    // Here it only allows rebinding over connections in TIME_WAIT; a port that
    // is really in use still refuses the bind.
    const int on = 1;
    ::setsockopt(Fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool BindSocket(SocketHandle socket, const std::string& address, std::uint16_t port) {
    sockaddr_in local;
    if (!AddressOf(address.empty() ? "0.0.0.0" : address, port, local)) return false;
    return ::bind(Fd(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool ConnectSocket(SocketHandle socket, const std::string& address, std::uint16_t port) {
    sockaddr_in remote;
    if (!AddressOf(address, port, remote)) return false;
    for (;;) {
        if (::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
            return true;
        }
        if (errno != EINTR) return false;
    }
}

bool ConnectSocketWithin(SocketHandle socket, const std::string& address, std::uint16_t port,
                         int milliseconds) {
    sockaddr_in remote;
    if (!AddressOf(address, port, remote)) return false;
    const int flags = ::fcntl(Fd(socket), F_GETFL);
    if (flags < 0 || ::fcntl(Fd(socket), F_SETFL, flags | O_NONBLOCK) != 0) return false;
    bool connected =
        ::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
        pollfd entry{Fd(socket), POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&entry, 1, milliseconds);
        } while (ready < 0 && errno == EINTR);
        int error = ETIMEDOUT;
        socklen_t size = sizeof error;
        if (ready > 0) ::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &size);
        connected = error == 0;
        errno = error;
    }
    ::fcntl(Fd(socket), F_SETFL, flags);
    return connected;
}

void TuneConnection(SocketHandle socket, int sendTimeoutMs) {
    SetOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
    const timeval timeout{sendTimeoutMs / 1000, (sendTimeoutMs % 1000) * 1000};
    SetOption(socket, SOL_SOCKET, SO_SNDTIMEO, timeout);
    KeepConnectionAlive(socket);
}

void KeepConnectionAlive(SocketHandle socket) {
    SetOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
    SetOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
    SetOption(socket, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
#if defined(TCP_USER_TIMEOUT)
    SetOption(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<unsigned>(kUserTimeoutMs));
#endif
}

std::size_t SocketQueueLength(SocketHandle socket) {
    int count = 0;
    if (::ioctl(Fd(socket), FIONREAD, &count) != 0 || count < 0) return 0;
    return static_cast<std::size_t>(count);
}

std::uint16_t LocalPort(SocketHandle socket) {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
    return ntohs(local.sin_port);
}

bool ListenSocket(SocketHandle socket, int backlog) {
    return ::listen(Fd(socket), backlog) == 0;
}

SocketWait WaitReadable(SocketHandle socket, int milliseconds) {
    pollfd entry{Fd(socket), POLLIN, 0};
    const int ready = ::poll(&entry, 1, milliseconds);
    if (ready < 0) return errno == EINTR ? SocketWait::Timeout : SocketWait::Error;
    return ready == 0 ? SocketWait::Timeout : SocketWait::Readable;
}

SocketWait WaitReadableAny(const SocketHandle* sockets, bool* ready, std::size_t count,
                           int milliseconds) {
    std::vector<pollfd> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
        // A negative descriptor is passed over by poll.
        entries[i] = {sockets[i] == kInvalidSocket ? -1 : Fd(sockets[i]), POLLIN, 0};
        ready[i] = false;
    }
    const int result = ::poll(entries.data(), entries.size(), milliseconds);
    if (result < 0) return errno == EINTR ? SocketWait::Timeout : SocketWait::Error;
    for (std::size_t i = 0; i < count; ++i) ready[i] = entries[i].revents != 0;
    return result == 0 ? SocketWait::Timeout : SocketWait::Readable;
}

SocketHandle AcceptConnection(SocketHandle listener, std::uint32_t* peerAddress) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0) return kInvalidSocket;
    if (peerAddress != nullptr) *peerAddress = ntohl(peer.sin_addr.s_addr);
    KeepConnectionAlive(static_cast<SocketHandle>(fd));
    return static_cast<SocketHandle>(fd);
}

std::ptrdiff_t ReceiveSome(SocketHandle socket, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::recv(Fd(socket), buffer, size, 0);
        if (got < 0 && errno == EINTR) continue;
        return got < 0 ? -1 : static_cast<std::ptrdiff_t>(got);
    }
}

bool SendAll(SocketHandle socket, std::string_view bytes) {
    while (!bytes.empty()) {
        // MSG_NOSIGNAL: a peer that has gone must not end the process by SIGPIPE.
        const ssize_t sent = ::send(Fd(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void ShutdownSocket(SocketHandle socket) {
    ::shutdown(Fd(socket), SHUT_RDWR);
}

void CloseSocket(SocketHandle socket) {
    ::close(Fd(socket));
}

void CloseSocketAtOnce(SocketHandle socket) {
    const linger now{1, 0};
    SetOption(socket, SOL_SOCKET, SO_LINGER, now);
    CloseSocket(socket);
}

int LastSocketError() {
    return errno;
}

}  // namespace brinmoor
