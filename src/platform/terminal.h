#pragma once
// The terminal seam: whether standard output is a terminal that understands
// the cursor movements of a screen that is redrawn in place.
namespace brinmoor {

// True when standard output is a terminal; on Windows the console is also
// switched to reading those movements, and false when it cannot be.
bool PrepareTerminalOutput();

}  // namespace brinmoor
