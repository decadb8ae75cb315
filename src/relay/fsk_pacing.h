#pragma once
// The program's FSK data on its way to the server's FSK port, paced to the
// line: written in pieces of about 100 ms of line time at the port's
// settings (one character at 45 baud), never more than about one piece ahead
// of the line. Between pieces the relay sees a change of the active app or
// its own end at once, and a group that lost the radio leaves nothing behind
// on the line: what it had read is dropped, what it had written and the line
// has not sent yet is thrown away. What the program sent and the relay has
// not read stays queued in the program's port.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "radio/serial_port.h"
#include "relay/relay_context.h"

namespace brinmoor {

inline constexpr std::chrono::milliseconds kFskPieceTime{100};

// Bytes that take about kFskPieceTime on a line of this character time; at least one.
std::size_t FskPieceBytes(std::chrono::microseconds characterTime);

// One relay's data read from the program and not yet written.
struct FskData {
    std::string pending;
};

// One round while the group is active: reads from the program when nothing
// is pending (waiting as the FSK read budget allows when it is silent), or
// else waits for room on the line (no longer than that budget, ending at once
// when the active app changes or the relay stops); then writes at most one
// piece, if the group is still active.
void ForwardFskData(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
                    std::int32_t group, FskData& data);

// The group lost the radio, or its relay ends: see above.
void DiscardFskData(const RelayContext& context, FskData& data);

}  // namespace brinmoor
