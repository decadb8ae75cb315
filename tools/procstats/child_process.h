#pragma once
// The programs the load tool, the benchmark and the system tests start
// (brinmoor, the radio simulator, brinmoorctl, rigctl): pipes on their
// standard streams, read line by line without blocking the caller longer than
// it asks, and always ended and reaped.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brinmoor {

// One pipe read line by line; the bytes of an unfinished line are kept.
struct LinePipe {
    int fd = -1;  // -1 once the writer has closed it (or when not captured)
    std::string partial;
};

struct Child {
    pid_t pid = -1;
    int stdinFd = -1;
    LinePipe out;
    LinePipe err;
    std::optional<int> exitCode;  // once reaped: the code, or 128 + the signal
};

struct ChildOptions {
    std::string workingDirectory;  // empty: the caller's
    bool captureStderr = true;     // false: the child writes to the caller's standard error
};

// Starts argv[0] (a path, or a name looked up in PATH). False, with the
// reason, when it cannot be run. The child is killed should the caller die
// first, and the caller ignores SIGPIPE from then on, so that writing to a
// child that has ended fails instead of killing it.
bool StartChild(Child& child, const std::vector<std::string>& argv, std::string& error,
                const ChildOptions& options = {});

// The complete lines that are waiting in the pipe, without blocking; a last
// line without "\n" once the pipe has closed.
std::vector<std::string> TakeLines(LinePipe& pipe);
// The next line within the time (a last one without "\n" once the pipe has
// closed), or nothing.
std::optional<std::string> ReadLineWithin(LinePipe& pipe, int timeoutMs);

bool WriteToChild(Child& child, std::string_view text);

// Whether the child still runs (reaps it when it has ended).
bool Running(Child& child);
// The exit code within the time, or nothing while it still runs.
std::optional<int> WaitForExit(Child& child, int timeoutMs);
// SIGTERM, then SIGKILL after the grace time; always reaps and closes the
// pipes. Returns the exit code (-1 when the child never started).
int EndChild(Child& child, int graceMs);

}  // namespace brinmoor
