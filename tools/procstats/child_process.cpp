#include "procstats/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

namespace brinmoor {
namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Reads once what the pipe holds; closes it at its end.
void Fill(LinePipe& pipe) {
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(pipe.fd, chunk, sizeof chunk);
        if (n > 0) {
            pipe.partial.append(chunk, static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < sizeof chunk) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        CloseFd(pipe.fd);
        return;
    }
}

std::optional<std::string> CutLine(LinePipe& pipe) {
    const auto end = pipe.partial.find('\n');
    if (end != std::string::npos) {
        std::string line = pipe.partial.substr(0, end);
        pipe.partial.erase(0, end + 1);
        return line;
    }
    if (pipe.fd < 0 && !pipe.partial.empty()) return std::exchange(pipe.partial, {});
    return std::nullopt;
}

}  // namespace

bool StartChild(Child& child, const std::vector<std::string>& argv, std::string& error,
                const ChildOptions& options) {
    if (argv.empty()) {
        error = "no program given";
        return false;
    }
    signal(SIGPIPE, SIG_IGN);
    // Everything the child needs is prepared here: between fork and exec only
    // async-signal-safe calls are allowed.
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, status[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* pair : {in, out, err, status}) {
            CloseFd(pair[0]);
            CloseFd(pair[1]);
        }
    };
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0 ||
        (options.captureStderr && pipe2(err, O_CLOEXEC) != 0)) {
        error = std::string("pipe: ") + std::strerror(errno);
        closeAll();
        return false;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        closeAll();
        return false;
    }
    if (pid == 0) {
        // Ends with its starter, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) signal(number, SIG_DFL);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        if (options.captureStderr) dup2(err[1], STDERR_FILENO);
        int failure = 0;
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            failure = errno;
        } else {
            execvp(args[0], args.data());
            failure = errno;
        }
        [[maybe_unused]] ssize_t n = write(status[1], &failure, sizeof failure);
        _exit(127);
    }
    CloseFd(in[0]);
    CloseFd(out[1]);
    CloseFd(err[1]);
    CloseFd(status[1]);
    child = Child{};
    child.pid = pid;
    child.stdinFd = in[1];
    child.out.fd = out[0];
    child.err.fd = err[0];
    for (int fd : {child.out.fd, child.err.fd}) {
        if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    // The status pipe closes at a successful exec; an errno arrives otherwise.
    int failure = 0;
    ssize_t n;
    while ((n = read(status[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    CloseFd(status[0]);
    if (n > 0) {
        EndChild(child, 1000);
        error = "cannot run " + argv[0] + ": " + std::strerror(failure);
        return false;
    }
    return true;
}

std::vector<std::string> TakeLines(LinePipe& pipe) {
    if (pipe.fd >= 0) Fill(pipe);
    std::vector<std::string> lines;
    while (auto line = CutLine(pipe)) lines.push_back(std::move(*line));
    return lines;
}

std::optional<std::string> ReadLineWithin(LinePipe& pipe, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto line = CutLine(pipe)) return line;
        if (pipe.fd < 0) return std::nullopt;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{pipe.fd, POLLIN, 0};
        const int ready = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0) {
            Fill(pipe);
        } else if (left <= 0) {
            return std::nullopt;
        }
    }
}

bool WriteToChild(Child& child, std::string_view text) {
    while (child.stdinFd >= 0 && !text.empty()) {
        const ssize_t n = write(child.stdinFd, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return text.empty();
}

bool Running(Child& child) {
    if (child.pid < 0 || child.exitCode) return false;
    int status = 0;
    const pid_t done = waitpid(child.pid, &status, WNOHANG);
    if (done == child.pid) {
        child.exitCode = DecodeStatus(status);
        return false;
    }
    return done == 0;
}

std::optional<int> WaitForExit(Child& child, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running(child)) {
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return child.exitCode;
}

int EndChild(Child& child, int graceMs) {
    if (Running(child)) {
        kill(child.pid, SIGTERM);
        if (!WaitForExit(child, graceMs)) {
            kill(child.pid, SIGKILL);
            WaitForExit(child, 10000);
        }
    }
    CloseFd(child.stdinFd);
    CloseFd(child.out.fd);
    CloseFd(child.err.fd);
    return child.exitCode.value_or(-1);
}

}  // namespace brinmoor
