#pragma once
// The programs the load tool starts (brinmoor, the radio simulator): pipes on
// their standard streams, read without blocking, and always ended and reaped.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace brinmoor::load {

// One pipe read line by line; the bytes of an unfinished line are kept.
struct LinePipe {
    int fd = -1;  // -1 once the writer has closed it
    std::string partial;
};

struct Child {
    pid_t pid = -1;
    int stdinFd = -1;
    LinePipe out;
    LinePipe err;
    std::optional<int> exitCode;  // once reaped: the code, or 128 + the signal
};

// Starts argv[0] (a path). The child is killed should this tool die first.
bool StartChild(Child& child, const std::vector<std::string>& argv, std::string& error);

// The complete lines that are waiting in the pipe, without blocking.
std::vector<std::string> TakeLines(LinePipe& pipe);
// The next line within the time, or nothing.
std::optional<std::string> ReadLineWithin(LinePipe& pipe, int timeoutMs);

bool WriteToChild(Child& child, const std::string& text);

// Whether the child still runs (reaps it when it has ended).
bool Running(Child& child);
// The exit code within the time, or nothing while it still runs.
std::optional<int> WaitForExit(Child& child, int timeoutMs);
// SIGTERM, then SIGKILL after the grace time; always reaps.
void EndChild(Child& child, int graceMs);

}  // namespace brinmoor::load
