#include "child_process.h"

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

namespace brinmoor::load {
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

// Reads once what the pipe holds; false when it has closed.
bool Fill(LinePipe& pipe) {
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(pipe.fd, chunk, sizeof chunk);
        if (n > 0) {
            pipe.partial.append(chunk, static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < sizeof chunk) return true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        CloseFd(pipe.fd);
        return false;
    }
}

std::optional<std::string> CutLine(LinePipe& pipe) {
    const auto end = pipe.partial.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::string line = pipe.partial.substr(0, end);
    pipe.partial.erase(0, end + 1);
    return line;
}

}  // namespace

bool StartChild(Child& child, const std::vector<std::string>& argv, std::string& error) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        // Ends with this tool, however it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        const std::string why = "cannot run " + argv[0] + ": " + std::strerror(errno) + "\n";
        [[maybe_unused]] ssize_t n = write(2, why.data(), why.size());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    child.pid = pid;
    child.stdinFd = in[1];
    child.out.fd = out[0];
    child.err.fd = err[0];
    fcntl(child.out.fd, F_SETFL, fcntl(child.out.fd, F_GETFL) | O_NONBLOCK);
    fcntl(child.err.fd, F_SETFL, fcntl(child.err.fd, F_GETFL) | O_NONBLOCK);
    return true;
}

std::vector<std::string> TakeLines(LinePipe& pipe) {
    if (pipe.fd >= 0) Fill(pipe);
    std::vector<std::string> lines;
    while (auto line = CutLine(pipe)) lines.push_back(std::move(*line));
    if (pipe.fd < 0 && !pipe.partial.empty()) lines.push_back(std::exchange(pipe.partial, {}));
    return lines;
}

std::optional<std::string> ReadLineWithin(LinePipe& pipe, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto line = CutLine(pipe)) return line;
        if (pipe.fd < 0) return std::nullopt;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{pipe.fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready > 0) Fill(pipe);
    }
}

bool WriteToChild(Child& child, const std::string& text) {
    std::size_t done = 0;
    while (child.stdinFd >= 0 && done < text.size()) {
        const ssize_t n = write(child.stdinFd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return done == text.size();
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

void EndChild(Child& child, int graceMs) {
    if (Running(child)) {
        kill(child.pid, SIGTERM);
        if (!WaitForExit(child, graceMs)) {
            kill(child.pid, SIGKILL);
            WaitForExit(child, 5000);
        }
    }
    CloseFd(child.stdinFd);
    CloseFd(child.out.fd);
    CloseFd(child.err.fd);
}

}  // namespace brinmoor::load
