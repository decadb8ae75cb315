#pragma once
// The FSK relay: while the group is active, the program's FSK data goes to the
// server's FSK port, and its DSR input keys that port's DTR, RTS or both.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "radio/serial_port.h"
#include "relay/relay_context.h"

namespace brinmoor {

inline constexpr int kFskReadBudgetMs = 50;

// Which server lines DSR keys, from the group's "flow" text in any case:
// "DTR", "RTS", "DTR/RTS"; any other text passes data only.
struct FskKeying {
    bool dtr = false;
    bool rts = false;
};
FskKeying FskKeyingFromFlow(const std::string& flow);

// Data the program sends while its group is not active waits in the group
// port and goes out when the group is active again. Whether the group is
// active is asked again right before each write and each line change. The
// lines this relay raised are dropped when the group stops being active and
// when the relay ends. `keyed` tells whether a line it raised is up.
void FskRelay(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
              std::int32_t group, const std::string& flow, std::atomic<bool>& keyed);

}  // namespace brinmoor
