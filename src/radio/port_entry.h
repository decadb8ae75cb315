#pragma once
// The one road from a configuration's port entry to an open port, for every
// port the server opens from a configuration: the CAT port, its own keying
// ports and the app groups' ports. An entry is checked before anything is
// closed or opened; a port is opened from the settings read from it. (Port
// names of other kinds, served by the server itself instead of a device,
// would be told apart here.)
#include <string>
#include <string_view>

#include "config/json.h"
#include "config/port_settings.h"
#include "radio/keying_line.h"
#include "radio/serial_port.h"

namespace brinmoor {

inline constexpr double kMostBaud = 4000000;

// Why the entry is refused, or empty: a port name that holds a control byte
// (NUL included), a baud rate outside 1 to 4,000,000, a byte size outside 5
// to 8, stop bits other than 1, 1.5 or 2, or a parity that is not one of
// the known names ("baud 0 is out of range (1 to 4000000)"). Numbers are
// judged before they are cut to integers, so nothing can wrap. What is
// missing or ill-typed is no reason: it takes its default.
std::string PortEntryProblem(const JsonValue& entry);

// "[config] CAT port /dev/ttyUSB0 refused: baud 0 is out of range (1 to
// 4000000)\n", the name with its control bytes escaped.
std::string PortRefusalLine(std::string_view what, std::string_view name, std::string_view problem);

// Opens the port with the settings' name, baud, byte size, parity and stop
// bits: unlocked (the caller alone uses the port) or under the port's lock.
bool OpenPort(SerialPort& port, const PortSettings& settings);
bool LockedOpenPort(SerialPort& port, const PortSettings& settings);
// Opens a port of the line's own; the settings' flow names the line to key.
bool OpenLine(KeyingLine& line, const PortSettings& settings);

}  // namespace brinmoor
