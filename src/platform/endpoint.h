#pragma once
// What a port name names. "tcp:PORT" and "tcp:ADDRESS:PORT" (IPv4) are TCP
// endpoints: the server listens there for a program, or, for the radio,
// connects there. "pty:PATH" is a pseudo-terminal the server makes, with
// PATH a link to the end a program opens. Any other name is a serial device.
// One rule for the server, its checks and brinmoorctl.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brinmoor {

enum class EndpointKind { Serial, Tcp, Pty };

inline constexpr std::string_view kDefaultEndpointAddress = "127.0.0.1";

#if defined(_WIN32)
inline constexpr bool kHasPseudoTerminals = false;
#else
inline constexpr bool kHasPseudoTerminals = true;
#endif

struct EndpointName {
    EndpointKind kind = EndpointKind::Serial;
    std::string address;     // Tcp: dotted IPv4, kDefaultEndpointAddress when not given
    std::uint16_t port = 0;  // Tcp
    std::string path;        // Pty: where the link goes
    std::string problem;     // why the name cannot be used; empty when it can
};

// The prefixes "tcp:" and "pty:" are taken in any letter case. A tcp: name
// needs a port from 1 to 65535 and, when it gives one, an IPv4 address; a
// pty: name an absolute path.
EndpointName ParseEndpointName(std::string_view name);

// "tcp:127.0.0.1:4533": one text for every way of writing the same endpoint.
std::string CanonicalEndpointName(const EndpointName& endpoint);

// What a listening endpoint does, for the holder to log.
enum class EndpointEvent {
    Connected,          // a program's connection is now served
    Disconnected,       // the program left; the endpoint waits for the next
    RefusedBusy,        // closed: another program is being served
    RefusedNotAllowed,  // closed: the peer is not admitted
    NotOpened,          // the endpoint could not be made (why says how)
};

struct EndpointNote {
    EndpointEvent event = EndpointEvent::Connected;
    std::uint32_t peer = 0;  // host order; for the connection events
    std::string why;         // for NotOpened
};

struct EndpointOptions {
    // A tcp: name connects to a server there (the radio) instead of listening.
    bool outgoing = false;
    // Peers (host-order IPv4) a listening endpoint serves; empty: every one.
    std::function<bool(std::uint32_t)> admits;
    // Told from the thread that reads the endpoint, or from the one opening it.
    std::function<void(const EndpointNote&)> told;
};

}  // namespace brinmoor
