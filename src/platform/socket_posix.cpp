#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

#include "platform/socket.h"

namespace brinmoor {
namespace {

int Fd(SocketHandle socket) {
    return static_cast<int>(socket);
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
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (address.empty()) {
        local.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        errno = EINVAL;
        return false;
    }
    return ::bind(Fd(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool ConnectSocket(SocketHandle socket, const std::string& address, std::uint16_t port) {
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &remote.sin_addr) != 1) {
        errno = EINVAL;
        return false;
    }
    for (;;) {
        if (::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
            return true;
        }
        if (errno != EINTR) return false;
    }
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

SocketHandle AcceptConnection(SocketHandle listener, std::uint32_t* peerAddress) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0) return kInvalidSocket;
    if (peerAddress != nullptr) *peerAddress = ntohl(peer.sin_addr.s_addr);
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

int LastSocketError() {
    return errno;
}

}  // namespace brinmoor
