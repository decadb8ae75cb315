#include <winsock2.h>
#include <mstcpip.h>
#include <ws2tcpip.h>

#include <climits>

#include "platform/socket.h"

namespace brinmoor {
namespace {

// Not in every SDK's headers; the values are the system's.
constexpr int kTcpKeepCount = 16;         // TCP_KEEPCNT
constexpr int kTcpMaxRetransmitTime = 5;  // TCP_MAXRT

SOCKET Sock(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

bool AddressOf(const std::string& address, std::uint16_t port, sockaddr_in& remote) {
    remote = {};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &remote.sin_addr) == 1) return true;
    WSASetLastError(WSAEINVAL);
    return false;
}

template <typename T>
void SetOption(SocketHandle socket, int level, int name, const T& value) {
    ::setsockopt(Sock(socket), level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

timeval Timeval(int milliseconds) {
    return timeval{milliseconds / 1000, (milliseconds % 1000) * 1000};
}

}  // namespace

bool StartSockets() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void CleanupSockets() {
    WSACleanup();
}

SocketHandle CreateTcpSocket() {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

void SetListenerAddressOption(SocketHandle socket) {
    // SO_REUSEADDR would let another program bind the same port and take its
    // connections; the exclusive option makes a port in use refuse the bind.
    const int on = 1;
    ::setsockopt(Sock(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on);
}

bool BindSocket(SocketHandle socket, const std::string& address, std::uint16_t port) {
    sockaddr_in local;
    if (!AddressOf(address.empty() ? "0.0.0.0" : address, port, local)) return false;
    return ::bind(Sock(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool ConnectSocket(SocketHandle socket, const std::string& address, std::uint16_t port) {
    sockaddr_in remote;
    if (!AddressOf(address, port, remote)) return false;
    return ::connect(Sock(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
}

bool ConnectSocketWithin(SocketHandle socket, const std::string& address, std::uint16_t port,
                         int milliseconds) {
    sockaddr_in remote;
    if (!AddressOf(address, port, remote)) return false;
    u_long nonBlocking = 1;
    if (::ioctlsocket(Sock(socket), FIONBIO, &nonBlocking) != 0) return false;
    bool connected =
        ::connect(Sock(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
    if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(Sock(socket), &writable);
        FD_SET(Sock(socket), &failed);
        timeval timeout = Timeval(milliseconds);
        const int ready = ::select(0, nullptr, &writable, &failed, &timeout);
        int error = WSAETIMEDOUT;
        int size = sizeof error;
        if (ready > 0) {
            ::getsockopt(Sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                         &size);
        }
        connected = ready > 0 && FD_ISSET(Sock(socket), &writable) && error == 0;
        WSASetLastError(error);
    }
    u_long blocking = 0;
    ::ioctlsocket(Sock(socket), FIONBIO, &blocking);
    return connected;
}

void TuneConnection(SocketHandle socket, int sendTimeoutMs) {
    SetOption(socket, IPPROTO_TCP, TCP_NODELAY, BOOL{TRUE});
    SetOption(socket, SOL_SOCKET, SO_SNDTIMEO, static_cast<DWORD>(sendTimeoutMs));
    KeepConnectionAlive(socket);
}

void KeepConnectionAlive(SocketHandle socket) {
    tcp_keepalive keepAlive{1, kKeepAliveIdleSeconds * 1000u, kKeepAliveIntervalSeconds * 1000u};
    DWORD returned = 0;
    ::WSAIoctl(Sock(socket), SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0,
               &returned, nullptr, nullptr);
    // Windows sends ten probes unless it takes a count (Windows 10 1703 and
    // later); unacknowledged data gives up after TCP_MAXRT seconds.
    SetOption(socket, IPPROTO_TCP, kTcpKeepCount, DWORD{kKeepAliveProbes});
    SetOption(socket, IPPROTO_TCP, kTcpMaxRetransmitTime, DWORD{kUserTimeoutMs / 1000});
}

std::size_t SocketQueueLength(SocketHandle socket) {
    u_long count = 0;
    if (::ioctlsocket(Sock(socket), FIONREAD, &count) != 0) return 0;
    return count;
}

std::uint16_t LocalPort(SocketHandle socket) {
    sockaddr_in local{};
    int size = sizeof local;
    if (::getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
    return ntohs(local.sin_port);
}

bool ListenSocket(SocketHandle socket, int backlog) {
    return ::listen(Sock(socket), backlog) == 0;
}

SocketWait WaitReadable(SocketHandle socket, int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Sock(socket), &readable);
    timeval timeout = Timeval(milliseconds);
    const int ready = ::select(0, &readable, nullptr, nullptr, &timeout);
    if (ready == SOCKET_ERROR) return SocketWait::Error;
    return ready == 0 ? SocketWait::Timeout : SocketWait::Readable;
}

SocketWait WaitReadableAny(const SocketHandle* sockets, bool* ready, std::size_t count,
                           int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    bool any = false;
    for (std::size_t i = 0; i < count; ++i) {
        ready[i] = false;
        if (sockets[i] == kInvalidSocket) continue;
        FD_SET(Sock(sockets[i]), &readable);
        any = true;
    }
    if (!any) {
        // select with no socket fails at once; wait the time as poll would.
        Sleep(static_cast<DWORD>(milliseconds < 0 ? 0 : milliseconds));
        return SocketWait::Timeout;
    }
    timeval timeout = Timeval(milliseconds);
    const int result = ::select(0, &readable, nullptr, nullptr, &timeout);
    if (result == SOCKET_ERROR) return SocketWait::Error;
    for (std::size_t i = 0; i < count; ++i) {
        ready[i] = sockets[i] != kInvalidSocket && FD_ISSET(Sock(sockets[i]), &readable);
    }
    return result == 0 ? SocketWait::Timeout : SocketWait::Readable;
}

SocketHandle AcceptConnection(SocketHandle listener, std::uint32_t* peerAddress) {
    sockaddr_in peer{};
    int size = sizeof peer;
    const SOCKET s = ::accept(Sock(listener), reinterpret_cast<sockaddr*>(&peer), &size);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    if (peerAddress != nullptr) *peerAddress = ntohl(peer.sin_addr.s_addr);
    KeepConnectionAlive(static_cast<SocketHandle>(s));
    return static_cast<SocketHandle>(s);
}

std::ptrdiff_t ReceiveSome(SocketHandle socket, char* buffer, std::size_t size) {
    const int ask = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    const int got = ::recv(Sock(socket), buffer, ask, 0);
    return got == SOCKET_ERROR ? -1 : got;
}

bool SendAll(SocketHandle socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const int ask = bytes.size() > INT_MAX ? INT_MAX : static_cast<int>(bytes.size());
        const int sent = ::send(Sock(socket), bytes.data(), ask, 0);
        if (sent == SOCKET_ERROR) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void ShutdownSocket(SocketHandle socket) {
    ::shutdown(Sock(socket), SD_BOTH);
}

void CloseSocket(SocketHandle socket) {
    ::closesocket(Sock(socket));
}

void CloseSocketAtOnce(SocketHandle socket) {
    const linger now{1, 0};
    SetOption(socket, SOL_SOCKET, SO_LINGER, now);
    CloseSocket(socket);
}

int LastSocketError() {
    return WSAGetLastError();
}

}  // namespace brinmoor
