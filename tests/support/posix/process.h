#pragma once
// A child process for system tests: brinmoor, brinmoor-radiosim, brinmoorctl
// or rigctl started with pipes on its standard input and output (and
// optionally standard error), read line by line with time-outs, and always
// ended and reaped (killed at once when the test lets go of it).
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "procstats/child_process.h"

namespace brinmoor::test {

struct ProcessOptions {
    std::string workingDirectory;  // empty: the test's own
    bool captureStderr = false;    // false: the child writes to the test's standard error
};

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { EndChild(child, 0); }

    // Starts argv[0] (a path) with the arguments; false when it cannot.
    bool Start(const std::vector<std::string>& argv, const ProcessOptions& options = {});

    pid_t Pid() const { return child.pid; }
    bool Running() { return brinmoor::Running(child); }

    // Writes all of the text to the child's standard input.
    bool Write(std::string_view text) { return WriteToChild(child, text); }

    // The next line (without "\n") from standard output or standard error,
    // or nothing when none is complete within the time-out. A last line
    // without "\n" is given once the child closes the pipe.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    std::optional<std::string> ReadErrLine(std::chrono::milliseconds timeout);

    // Sends the signal to a running child.
    bool Signal(int signal);

    // Waits for the child to end: its exit code, 128 + the signal that ended
    // it, or nothing when it still runs after the time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout);

    // SIGTERM, then SIGKILL when the child has not ended within two seconds.
    void Stop();

  private:
    Child child;
};

}  // namespace brinmoor::test
