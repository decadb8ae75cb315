#pragma once
// The STATUS document: the station at a glance, as one line of JSON. Built
// from what each layer already knows (the radio's state, the groups' ports
// and counters, the keying lines, the server's counters); it never asks the
// radio anything. Times are milliseconds since the event; no text holds ";",
// so the document always travels as one frame.
#include <string>

#include "server/server_state.h"

namespace brinmoor {

std::string BuildStatusDocument(ServerState& state);

// "STATUS", the document, ";".
std::string StatusCommand(ServerState& state);

}  // namespace brinmoor
