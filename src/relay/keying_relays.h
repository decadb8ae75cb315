#pragma once
// The PTT and CW relays: an app group's program keys by asserting a control
// line on its end of the cable, which arrives here as DSR; while the group is
// the active app, the server's own line follows it (relay/keying_input.h).
#include <atomic>
#include <cstdint>

#include "common/handover.h"
#include "radio/keying_line.h"
#include "relay/relay_context.h"

namespace brinmoor {

// Who a group's relay is when it keys a server line (SetLine's `by`): far
// above any client's number, so a client's disconnect never releases it.
inline constexpr std::uint64_t kGroupKeyerBase = std::uint64_t{1} << 62;
inline std::uint64_t GroupKeyer(std::int32_t group) {
    return kGroupKeyerBase | static_cast<std::uint32_t>(group);
}

// Follows the group line's DSR on the server line (FollowKeyingInput).
void KeyingRelay(const std::atomic<bool>& running, const ActiveGroup& activeGroup,
                 KeyingLine& groupLine, Handover<KeyingLine>& serverLine, std::int32_t group);

inline void PttRelay(const std::atomic<bool>& running, const RelayContext& context,
                     KeyingLine& groupLine, std::int32_t group) {
    KeyingRelay(running, context.activeGroup, groupLine, context.pttLine, group);
}

inline void CwRelay(const std::atomic<bool>& running, const RelayContext& context,
                    KeyingLine& groupLine, std::int32_t group) {
    KeyingRelay(running, context.activeGroup, groupLine, context.cwLine, group);
}

}  // namespace brinmoor
