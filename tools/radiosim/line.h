#pragma once
// The simulator's end of the line to the server: a pseudo-terminal (with an
// optional link to it), or with --tcp a listening socket that serves one
// connection at a time, as a serial device server next to a radio does.
#include <string>

#include "options.h"

namespace brinmoor {

struct Line {
    int fd = -1;        // the terminal's master, or the connection (-1: none)
    int slave = -1;     // kept open so the master never sees a hang-up
    int listener = -1;  // --tcp
    std::string name;   // what the server opens: /dev/pts/N or tcp:127.0.0.1:N
    std::string slavePath;
    std::string linkPath;
};

// False with errno set when the line cannot be made.
bool OpenLine(Line& line, const Options& options);
// Removes the link, if any, and closes everything.
void CloseLine(Line& line);
// Takes a waiting connection when none is served; one more is closed at once.
void AcceptConnection(Line& line);
// Ends the connection, as a serial server whose radio was switched off;
// false when there is none (or the line is a terminal).
bool HangUp(Line& line);

}  // namespace brinmoor
