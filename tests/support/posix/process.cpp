#include "support/posix/process.h"

#include <signal.h>

namespace brinmoor::test {
namespace {

int Ms(std::chrono::milliseconds timeout) {
    return static_cast<int>(timeout.count());
}

}  // namespace

bool ChildProcess::Start(const std::vector<std::string>& argv, const ProcessOptions& options) {
    std::string reason;
    return child.pid < 0 && StartChild(child, argv, reason,
                                       ChildOptions{options.workingDirectory, options.captureStderr});
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    return ReadLineWithin(child.out, Ms(timeout));
}

std::optional<std::string> ChildProcess::ReadErrLine(std::chrono::milliseconds timeout) {
    return ReadLineWithin(child.err, Ms(timeout));
}

bool ChildProcess::Signal(int signal) {
    return Running() && kill(child.pid, signal) == 0;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (child.pid < 0) return std::nullopt;
    return WaitForExit(child, Ms(timeout));
}

void ChildProcess::Stop() {
    // Unlike EndChild, the pipes stay open: what the child wrote can still be read.
    if (Signal(SIGTERM) && !WaitForExit(child, 2000)) {
        kill(child.pid, SIGKILL);
        WaitForExit(child, 10000);
    }
}

}  // namespace brinmoor::test
