#pragma once
// The STATUS document as people read it: a short table of the radio, the
// active app, the groups and the keying lines.
#include <string>
#include <string_view>

#include "config/json.h"

namespace brinmoor {

// Reads the document of a STATUS reply (the text after "STATUS"); the ";"
// the server writes escaped in names comes back as ";".
JsonValue ReadStatusDocument(std::string_view text);

// The table, lines ended by "\n". Control bytes from the server are escaped,
// so nothing it sends can steer the terminal.
std::string FormatStatus(const JsonValue& status);

}  // namespace brinmoor
