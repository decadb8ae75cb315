#pragma once
// brinmoorctl as a whole: runs one command against the server and reports
// on the two streams.
#include <ostream>
#include <string>
#include <vector>

#include "ctl_command_line.h"

namespace brinmoor {

inline constexpr int kCtlOk = 0;
inline constexpr int kCtlFailed = 1;    // error reply, ERR from the radio, document errors
inline constexpr int kCtlUsage = 2;     // wrong command line
inline constexpr int kCtlNoServer = 3;  // unreachable, connection lost, no reply in time

int RunCtlCommand(const CtlCommandLine& line, std::ostream& out, std::ostream& err);

// The arguments after the program name; returns the exit status.
int CtlMain(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace brinmoor
