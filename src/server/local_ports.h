#pragma once
// The server's own keying ports beside the CAT port: a PTT line, a CW line
// (on the PTT line's port when both name the same one), a WinKey keyer port
// and an FSK port, as the "ports" object of a CFG names them.
#include <memory>
#include <string_view>

#include "config/json.h"
#include "radio/keying_line.h"
#include "radio/serial_port.h"
#include "server/server_state.h"

namespace brinmoor {

// Closes the four ports and opens again those the document's "ports" object
// names. Failures to open are logged on standard output and leave the port
// absent; nothing is thrown.
void ApplyLocalPorts(ServerState& state, const JsonValue& document);

// One entry of "ports" as a keying line with a port of its own (38400 baud,
// 8N1, line "DTR" by default); null when the entry names no port or the port
// does not open.
std::shared_ptr<KeyingLine> OpenLocalLine(const JsonValue& ports, std::string_view name);

// One entry of "ports" as a serial port (8 data bits, no parity, the given
// baud and stop bits by default; "flow" is not read); null as above.
std::shared_ptr<SerialPort> OpenLocalSerialPort(const JsonValue& ports, std::string_view name,
                                                std::int32_t defaultBaud, float defaultStopBits);

}  // namespace brinmoor
