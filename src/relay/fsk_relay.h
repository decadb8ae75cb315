#pragma once
// The FSK relay: while the group is active, the program's FSK data goes to the
// server's FSK port, and its DSR input keys that port's DTR, RTS or both. The
// data and the keying input run on threads of their own, so the keying waits
// for its line to change while the data waits for bytes.
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

// Data goes out paced to the line (relay/fsk_pacing.h). Data the program
// sends while its group is not active waits in the group port and goes out
// when the group is active again. Whether the group is active is asked again
// right before each write. When the group stops being active and when the
// relay ends, what it wrote that is still queued for the line is thrown away.
void FskRelay(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
              std::int32_t group);

// The keying input: DSR of the group's port keys the lines the flow names
// (FollowKeyingInput); they are dropped when the group stops being active
// and when the relay ends. Not started for a flow that keys nothing.
// `keyed` tells whether the lines it raised are up.
void FskKeyingRelay(const std::atomic<bool>& running, const RelayContext& context,
                    SerialPort& port, const std::string& portName, std::int32_t group,
                    const std::string& flow, std::atomic<bool>& keyed);

}  // namespace brinmoor
