#pragma once
// The app-group step of a configuration: the "ext_groups" document replaces
// the group names and the running relays whole.
#include "config/json.h"
#include "server/server_state.h"

namespace brinmoor {

// Stops and drops the running relays, rebuilds groupNames (-1 "Default" plus
// one name per member) and, when any group names a usable port, starts a new
// RelayManager in state.relays. A member key without a decimal number throws
// (std::invalid_argument or std::out_of_range) with no relays left running.
void ApplyExtGroups(ServerState& state, const JsonValue& document);

// Stops the running relays, if any, and drops them: every relay thread is
// joined and every group port closed when this returns.
void StopRelays(ServerState& state);

}  // namespace brinmoor
