#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>

#include "platform/socket.h"

namespace brinmoor {
namespace {

SOCKET Sock(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
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
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (address.empty()) {
        local.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    return ::bind(Sock(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool ConnectSocket(SocketHandle socket, const std::string& address, std::uint16_t port) {
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &remote.sin_addr) != 1) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    return ::connect(Sock(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
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
    timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    const int ready = ::select(0, &readable, nullptr, nullptr, &timeout);
    if (ready == SOCKET_ERROR) return SocketWait::Error;
    return ready == 0 ? SocketWait::Timeout : SocketWait::Readable;
}

SocketHandle AcceptConnection(SocketHandle listener, std::uint32_t* peerAddress) {
    sockaddr_in peer{};
    int size = sizeof peer;
    const SOCKET s = ::accept(Sock(listener), reinterpret_cast<sockaddr*>(&peer), &size);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    if (peerAddress != nullptr) *peerAddress = ntohl(peer.sin_addr.s_addr);
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

int LastSocketError() {
    return WSAGetLastError();
}

}  // namespace brinmoor
