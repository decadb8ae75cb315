#pragma once
// A keying input: a program asserts a control line on its end of the cable,
// which arrives on the group's port as DSR; while the group is the active
// app, a line of the server's follows it. The relay thread waits for the
// line to change (a modem-line event) and sets the server's line itself, at
// a raised priority where the system grants one. A port without line events
// (a pseudo-terminal, some USB adapters) is polled instead.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/serial_device.h"
#include "relay/active_group.h"

namespace brinmoor {

// The poll of a PTT or CW port without line events; the FSK relay's keying
// input keeps the 50 ms its data reads sampled DSR at before it had a
// thread of its own.
inline constexpr std::chrono::milliseconds kKeyingActivePoll{10};
inline constexpr std::chrono::milliseconds kFskKeyingPoll{50};
// Reads between events: an edge between two waits may go unseen, so while
// the server's line is keyed a lost release is found this soon...
inline constexpr int kKeyedLineReadMs = 20;
// ...and while nothing is keyed a lost key-down only waits this long.
inline constexpr int kIdleLineReadMs = 1000;

struct KeyingInput {
    // WaitForModemChange on the group's port.
    std::function<ModemWait(ModemWaitCancel*, int, ModemLines&)> wait;
    std::function<bool()> isDsrOn;          // for the poll
    std::function<bool()> firstToTell;      // once per port: no line events
    std::function<std::string()> portName;  // for that line
    std::chrono::milliseconds poll = kKeyingActivePoll;
};

// Repeats changes (edges, not levels) of the input's DSR through drive while
// the group is active, so a line keyed by PT or CK stays keyed until DSR
// itself changes. drive(false) when the group stops being active or the
// relay ends, if this relay had raised the line.
void FollowKeyingInput(const std::atomic<bool>& running, const ActiveGroup& activeGroup,
                       std::int32_t group, const KeyingInput& input,
                       const std::function<void(bool)>& drive);

}  // namespace brinmoor
