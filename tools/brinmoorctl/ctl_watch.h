#pragma once
// brinmoorctl status and watch: the STATUS document for people, once or
// redrawn in place until Ctrl-C.
#include <ostream>

#include "ctl_command_line.h"

namespace brinmoor {

inline constexpr int kWatchPeriodMs = 250;  // four views a second

// `status` (the table, or with --json the document) and `watch [N]`: a view
// every kWatchPeriodMs, drawn over the last one on a terminal and as plain
// blocks otherwise, N times or until interrupted. A server that cannot be
// reached shows as such and is tried again at every view.
int RunStatusCommand(const CtlCommandLine& line, std::ostream& out, std::ostream& err,
                     bool terminal);

}  // namespace brinmoor
