#pragma once
// Small pieces shared by the relay loops.
#include <chrono>
#include <cstdint>

#include "radio/serial_port.h"

namespace brinmoor {

// After a failure inside one iteration, before the next.
inline constexpr std::chrono::milliseconds kRelayErrorPause{100};
// A relay whose group is not the active app waits for a change of the active
// app (or for Stop), which wakes it at once; it also looks again this often.
inline constexpr std::chrono::milliseconds kInactiveRelayWait{1000};

// How many bytes to ask for: all that wait (so a burst is passed on in one
// write), at least one (so the read waits when nothing is there), at most
// one message's worth.
inline int QueuedReadCount(SerialPort& port) {
    const std::uint32_t queued = port.InputQueueLength();
    if (queued < 1) return 1;
    if (queued > kMaxSerialMessage) return static_cast<int>(kMaxSerialMessage);
    return static_cast<int>(queued);
}

}  // namespace brinmoor
