#pragma once
// The socket seam: the few TCP calls the listener and the sessions need. One
// implementation per platform (socket_posix.cpp, socket_win32.cpp); every rule
// (time-outs, framing, shutdown order) lives above it in portable code.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brinmoor {

// A Winsock SOCKET or a POSIX file descriptor.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// Windows sockets 2.2 on Windows; nothing to do elsewhere.
bool StartSockets();
void CleanupSockets();

// An IPv4 stream socket, or kInvalidSocket.
SocketHandle CreateTcpSocket();

// Lets the listener rebind a port whose old connections linger in TIME_WAIT,
// and on Windows forbids any other program from binding over it.
void SetListenerAddressOption(SocketHandle socket);

// Binds to a dotted IPv4 address ("0.0.0.0" or empty: every interface).
bool BindSocket(SocketHandle socket, const std::string& address, std::uint16_t port);
bool ListenSocket(SocketHandle socket, int backlog);

enum class SocketWait { Readable, Timeout, Error };
SocketWait WaitReadable(SocketHandle socket, int milliseconds);
// The same for several sockets (kInvalidSocket entries are passed over):
// ready[i] tells which can be read. A peer that closed or failed is readable.
SocketWait WaitReadableAny(const SocketHandle* sockets, bool* ready, std::size_t count,
                           int milliseconds);

// A connected socket, or kInvalidSocket. The peer's IPv4 address (host
// order: 127.0.0.1 is 0x7F000001) goes to peerAddress when one is given.
// Every accepted connection is tuned as KeepConnectionAlive says, so a peer
// whose network vanished (no goodbye, no reset) ends its connection.
SocketHandle AcceptConnection(SocketHandle listener, std::uint32_t* peerAddress = nullptr);

// TCP keep-alive: probes after 10 s of silence, every 5 s, three unanswered
// end the connection (25 s); where the system has it, data left
// unacknowledged as long ends it too. A receive then fails, so the
// connection's owner ends it as if the peer had closed it. The user time-out
// is no longer than the probes take: on Linux it replaces their count, and a
// longer one would end the connection only at the first probe past it.
inline constexpr int kKeepAliveIdleSeconds = 10;
inline constexpr int kKeepAliveIntervalSeconds = 5;
inline constexpr int kKeepAliveProbes = 3;
inline constexpr int kUserTimeoutMs =
    (kKeepAliveIdleSeconds + kKeepAliveIntervalSeconds * kKeepAliveProbes) * 1000;
void KeepConnectionAlive(SocketHandle socket);

// Connects to a dotted IPv4 address (clients, and the tests).
bool ConnectSocket(SocketHandle socket, const std::string& address, std::uint16_t port);
// The same, giving up after the time given: a host that does not answer
// would otherwise hold the caller for minutes.
bool ConnectSocketWithin(SocketHandle socket, const std::string& address, std::uint16_t port,
                         int milliseconds);

// For a connection that carries CAT: small writes go out at once (no
// coalescing), a send waits at most sendTimeoutMs for room, and the
// connection is kept alive as KeepConnectionAlive says.
void TuneConnection(SocketHandle socket, int sendTimeoutMs);

// Bytes received and not yet read; 0 when unknown.
std::size_t SocketQueueLength(SocketHandle socket);

// The port a bound socket got (the one the system chose for port 0); 0 on failure.
std::uint16_t LocalPort(SocketHandle socket);

// Bytes received (1 to size), 0 when the peer has closed, -1 on failure.
std::ptrdiff_t ReceiveSome(SocketHandle socket, char* buffer, std::size_t size);

// Sends every byte, continuing short sends; false when the connection fails.
bool SendAll(SocketHandle socket, std::string_view bytes);

// Ends both directions, so a thread blocked in ReceiveSome wakes up; the
// handle stays valid until CloseSocket.
void ShutdownSocket(SocketHandle socket);
void CloseSocket(SocketHandle socket);
// Closes with a reset instead of the orderly goodbye, so that the port keeps
// no connection waiting out its time: a listener closed and opened again at
// once (every CFG) can take its port again on every system.
void CloseSocketAtOnce(SocketHandle socket);

// The error code of the last failed call (WSAGetLastError or errno).
int LastSocketError();

}  // namespace brinmoor
