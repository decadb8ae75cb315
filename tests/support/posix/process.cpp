#include "support/posix/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

namespace brinmoor::test {
namespace {

using Clock = std::chrono::steady_clock;

bool MakePipe(int fds[2]) {
    if (pipe(fds) != 0) return false;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::optional<std::string> ReadLineFrom(LineReader& reader, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (const auto end = reader.buffered.find('\n'); end != std::string::npos) {
            std::string line = reader.buffered.substr(0, end);
            reader.buffered.erase(0, end + 1);
            return line;
        }
        if (reader.ended || reader.fd < 0) {
            if (reader.buffered.empty()) return std::nullopt;
            return std::exchange(reader.buffered, {});
        }
        pollfd fd{reader.fd, POLLIN, 0};
        const int ready = poll(&fd, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char chunk[4096];
        const ssize_t n = read(reader.fd, chunk, sizeof chunk);
        if (n > 0) {
            reader.buffered.append(chunk, n);
        } else if (n == 0 || errno != EINTR) {
            reader.ended = true;
        }
    }
}

std::optional<std::string> WaitForLineFrom(LineReader& reader, std::string_view text,
                                           std::chrono::milliseconds timeout,
                                           std::vector<std::string>* skipped) {
    const auto deadline = Clock::now() + timeout;
    while (auto line = ReadLineFrom(reader, std::chrono::milliseconds(RemainingMs(deadline)))) {
        if (line->find(text) != std::string::npos) return line;
        if (skipped != nullptr) skipped->push_back(*line);
    }
    return std::nullopt;
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (pid > 0 && exitStatus < 0) {
        kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    CloseFd(stdinFd);
    CloseFd(out.fd);
    CloseFd(err.fd);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const ProcessOptions& options,
                         std::string* error) {
    auto fail = [&](const std::string& reason) {
        if (error != nullptr) *error = reason;
        return false;
    };
    if (pid > 0 || argv.empty()) return fail("already started, or no program given");
    signal(SIGPIPE, SIG_IGN);

    // Everything the child needs is prepared here: between fork and exec
    // only async-signal-safe calls are allowed.
    std::vector<char*> arguments;
    for (const std::string& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);

    int input[2] = {-1, -1}, output[2] = {-1, -1}, errors[2] = {-1, -1}, execStatus[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* pair : {input, output, errors, execStatus}) {
            CloseFd(pair[0]);
            CloseFd(pair[1]);
        }
    };
    if (!MakePipe(input) || !MakePipe(output) || !MakePipe(execStatus) ||
        (options.captureStderr && !MakePipe(errors))) {
        closeAll();
        return fail(std::string("pipe: ") + std::strerror(errno));
    }

    const pid_t child = fork();
    if (child < 0) {
        closeAll();
        return fail(std::string("fork: ") + std::strerror(errno));
    }
    if (child == 0) {
        sigset_t all;
        sigemptyset(&all);
        sigprocmask(SIG_SETMASK, &all, nullptr);
        for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) ::signal(signal, SIG_DFL);
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        if (options.captureStderr) dup2(errors[1], STDERR_FILENO);
        int failure = 0;
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            failure = errno;
        } else {
            execvp(arguments[0], arguments.data());
            failure = errno;
        }
        [[maybe_unused]] ssize_t n = write(execStatus[1], &failure, sizeof failure);
        _exit(127);
    }

    pid = child;
    exitStatus = -1;
    CloseFd(input[0]);
    CloseFd(output[1]);
    CloseFd(errors[1]);
    CloseFd(execStatus[1]);
    stdinFd = input[1];
    out = LineReader{output[0], {}, false};
    err = LineReader{errors[0], {}, false};

    // The status pipe closes on a successful exec; an errno arrives otherwise.
    int failure = 0;
    ssize_t n;
    while ((n = read(execStatus[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    CloseFd(execStatus[0]);
    if (n > 0) {
        Wait(std::chrono::milliseconds(5000));
        return fail("cannot run " + argv[0] + ": " + std::strerror(failure));
    }
    return true;
}

bool ChildProcess::Running() {
    return pid > 0 && !Wait(std::chrono::milliseconds(0)).has_value();
}

bool ChildProcess::Write(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(stdinFd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(n);
    }
    return true;
}

void ChildProcess::CloseStdin() {
    CloseFd(stdinFd);
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    return ReadLineFrom(out, timeout);
}

std::optional<std::string> ChildProcess::ReadErrLine(std::chrono::milliseconds timeout) {
    return ReadLineFrom(err, timeout);
}

std::optional<std::string> ChildProcess::WaitForLine(std::string_view text,
                                                     std::chrono::milliseconds timeout,
                                                     std::vector<std::string>* skipped) {
    return WaitForLineFrom(out, text, timeout, skipped);
}

std::optional<std::string> ChildProcess::WaitForErrLine(std::string_view text,
                                                        std::chrono::milliseconds timeout,
                                                        std::vector<std::string>* skipped) {
    return WaitForLineFrom(err, text, timeout, skipped);
}

bool ChildProcess::Signal(int signal) {
    return Running() && kill(pid, signal) == 0;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (pid <= 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    while (exitStatus < 0) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            exitStatus = DecodeStatus(status);
        } else if (done < 0 && errno != EINTR) {
            return std::nullopt;
        } else if (Clock::now() >= deadline) {
            return std::nullopt;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return exitStatus;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (pid <= 0) return -1;
    Signal(SIGTERM);
    if (const auto status = Wait(grace)) return *status;
    kill(pid, SIGKILL);
    return Wait(std::chrono::milliseconds(10000)).value_or(-1);
}

}  // namespace brinmoor::test
