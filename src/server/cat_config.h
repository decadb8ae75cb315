#pragma once
// The CAT step of a configuration: open (or keep) the radio's CAT port,
// publish its settings to the status text and the saved file, start the
// power monitor the first time, and ask the radio who it is.
#include <cstdint>

#include "config/json.h"
#include "server/server_state.h"

namespace brinmoor {

// Reads "port", "baud" (a Number; 38400 otherwise), "bytesize", "parity" and
// "stopbits" from the CAT entry. True when the CAT port is open with these
// settings; the radio's answer to "ID" does not change the result. An entry
// with a value out of range is refused with a "[config]" line, and a port
// that does not open leaves the working one as it was.
bool ApplyCatConfig(ServerState& state, const JsonValue& config, std::int32_t tcpPort);

}  // namespace brinmoor
