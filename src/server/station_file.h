#pragma once
// The station file (--station FILE): a CFG document applied once at
// start-up, before any client is served, so that a station without its
// controlling application comes back with its app groups, its own ports and
// its active app. Besides "ports" and "ext_groups" it may name "active", the
// app group made active.
#include <string>

#include "server/server_state.h"

namespace brinmoor {

// Applies the file as a CFG from a client would be applied, with the same
// log lines. A file that cannot be read or is refused is logged and changes
// nothing; an "active" that is no group number is logged and left out.
void ApplyStationFile(ServerState& state, const std::string& path);

}  // namespace brinmoor
