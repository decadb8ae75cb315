#pragma once
// A tcp: endpoint read and written like a serial device: a listening socket
// that serves one program's connection at a time, or the server's own
// connection to the radio's serial server. Written once on the socket seam;
// both platforms' serial devices hand their tcp: names to it.
//
// Waiting (reads, WaitForTcpInput) happens on one thread at a time, which
// also takes programs in and lets them go; a write may come from another
// thread and never finds a connection closed under it.
#include <cstdint>
#include <string_view>

#include "platform/endpoint.h"
#include "platform/serial_device.h"

namespace brinmoor {

inline constexpr int kTcpConnectMs = 1000;     // a radio's serial server on the station's network
inline constexpr int kTcpSendTimeoutMs = 500;  // as a serial write's margin
inline constexpr int kTcpListenBacklog = 4;

struct TcpEndpoint;

// Listens on the name's address and port or, with options.outgoing,
// connects there within kTcpConnectMs. Null when that fails (a listening
// endpoint tells why, as NotOpened).
TcpEndpoint* OpenTcpEndpoint(const EndpointName& name, const EndpointOptions& options);
void CloseTcpEndpoint(TcpEndpoint* endpoint);

// As ReadSerialByte. While it waits, a listening endpoint takes a program in
// (one admitted peer while none is served; any other is closed at once and
// told), and lets a program that left go, to wait for the next: for the
// reader that is silence. The far end of an outgoing endpoint closing or
// failing is Gone.
SerialRead ReadTcpByte(TcpEndpoint* endpoint, int timeoutMs, char& byte);
// Failed while no program is connected; Gone when an outgoing endpoint's
// connection fails.
SerialWrite WriteTcpEndpoint(TcpEndpoint* endpoint, std::string_view bytes);
std::uint32_t TcpInputQueueLength(TcpEndpoint* endpoint);
// As WaitForSerialInput, serving the listener the same way as a read.
bool WaitForTcpInput(TcpEndpoint* endpoint, int milliseconds);

}  // namespace brinmoor
