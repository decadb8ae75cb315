#pragma once
// The one road from a configuration's port entry to an open port, for every
// port the server opens from a configuration: the CAT port, its own keying
// ports and the app groups' ports. An entry is checked before anything is
// closed or opened; a port is opened from the settings read from it. Which
// kinds of name (platform/endpoint.h) each port takes is decided here too.
#include <string>
#include <string_view>

#include "config/json.h"
#include "config/port_settings.h"
#include "platform/endpoint.h"
#include "radio/keying_line.h"
#include "radio/serial_port.h"

namespace brinmoor {

inline constexpr double kMostBaud = 4000000;

// What a port is for; it decides which kinds of name it takes.
enum class PortUse {
    Radio,      // the radio's CAT port: a serial device, or tcp: to reach it
    ServerOwn,  // the server's own PTT, CW, WinKey and FSK ports: serial devices
    GroupData,  // an app group's cat, winkey and fsk: any kind
    GroupLine,  // an app group's ptt and cw: serial devices (keying needs modem lines)
};

// Why the name cannot serve this use, or empty: a tcp: or pty: name that
// does not parse, a kind the use does not take, a pty: name on a platform
// without pseudo-terminals.
std::string EndpointProblem(std::string_view name, PortUse use);

// Why the entry is refused, or empty: a port name that holds a control byte
// (NUL included), a baud rate outside 1 to 4,000,000, a byte size outside 5
// to 8, stop bits other than 1, 1.5 or 2, or a parity that is not one of
// the known names ("baud 0 is out of range (1 to 4000000)"). Numbers are
// judged before they are cut to integers, so nothing can wrap. What is
// missing or ill-typed is no reason: it takes its default.
std::string PortEntryProblem(const JsonValue& entry);

// "[config] CAT port /dev/ttyUSB0 refused: baud 0 is out of range (1 to
// 4000000)\n", the name with its control bytes escaped.
std::string PortRefusalLine(std::string_view what, std::string_view name, std::string_view problem,
                            std::string_view tag = "[config]");

// The refusal line for an entry that names a port, or empty when the server
// takes it: PortEntryProblem, then EndpointProblem (whose lines for an app
// group's ports open with "[relay]").
std::string PortEntryRefusal(const JsonValue& entry, std::string_view what, PortUse use);

// Opens the port with the settings' name, baud, byte size, parity and stop
// bits: unlocked (the caller alone uses the port) or under the port's lock.
bool OpenPort(SerialPort& port, const PortSettings& settings, const EndpointOptions& options = {});
bool LockedOpenPort(SerialPort& port, const PortSettings& settings,
                    const EndpointOptions& options = {});
// Opens a port of the line's own; the settings' flow names the line to key.
bool OpenLine(KeyingLine& line, const PortSettings& settings);

}  // namespace brinmoor
