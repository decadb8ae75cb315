#pragma once
// A child process for system tests: brinmoor or brinmoor-radiosim started
// with pipes on its standard input and output (and optionally standard
// error), read line by line with time-outs, and always ended and reaped.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brinmoor::test {

struct ProcessOptions {
    std::string workingDirectory;  // empty: the test's own
    bool captureStderr = false;    // false: the child writes to the test's standard error
};

// One line read from a pipe, kept between calls so no byte is lost.
struct LineReader {
    int fd = -1;
    std::string buffered;
    bool ended = false;
};

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();  // kills a child that still runs

    // Starts argv[0] (a path) with the arguments. False, with the reason in
    // *error, when the program cannot be started. The test process ignores
    // SIGPIPE from then on, so writing to a child that has ended fails
    // instead of killing the test.
    bool Start(const std::vector<std::string>& argv, const ProcessOptions& options = {},
               std::string* error = nullptr);

    pid_t Pid() const { return pid; }
    bool Running();

    // Writes all of the text to the child's standard input.
    bool Write(std::string_view text);
    void CloseStdin();

    // The next line (without "\n") from standard output or standard error,
    // or nothing when none is complete within the time-out. A last line
    // without "\n" is given once the child closes the pipe.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    std::optional<std::string> ReadErrLine(std::chrono::milliseconds timeout);

    // Reads lines until one contains the text and returns it; the lines
    // before it are appended to *skipped when given.
    std::optional<std::string> WaitForLine(std::string_view text, std::chrono::milliseconds timeout,
                                           std::vector<std::string>* skipped = nullptr);
    std::optional<std::string> WaitForErrLine(std::string_view text,
                                              std::chrono::milliseconds timeout,
                                              std::vector<std::string>* skipped = nullptr);

    // Sends the signal to a running child.
    bool Signal(int signal);

    // Waits for the child to end: its exit code, 128 + the signal that ended
    // it, or nothing when it still runs after the time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout);

    // SIGTERM, then SIGKILL when the child has not ended within the grace
    // time; returns the exit status as Wait does (-1 when never started).
    int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

  private:
    pid_t pid = -1;
    int exitStatus = -1;
    int stdinFd = -1;
    LineReader out;
    LineReader err;
};

}  // namespace brinmoor::test
