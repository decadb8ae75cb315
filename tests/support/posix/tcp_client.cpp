#include "support/posix/tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <thread>

namespace brinmoor::test {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

TcpClient::TcpClient(std::uint16_t port, milliseconds timeout, const std::string& from) {
    const auto deadline = Clock::now() + timeout;
    const sockaddr_in address = Loopback(port);
    sockaddr_in source = Loopback(0);
    if (!from.empty()) ::inet_pton(AF_INET, from.c_str(), &source.sin_addr);
    for (;;) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (!from.empty()) ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            // A server that stops reading must not hold the test.
            const timeval limit{10, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            return;
        }
        ::close(fd);
        fd = -1;
        if (Clock::now() >= deadline) return;
        std::this_thread::sleep_for(milliseconds(50));
    }
}

TcpClient::~TcpClient() {
    Close();
}

void TcpClient::Vanish() {
    const linger abort{1, 0};
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    Close();
}

void TcpClient::Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool TcpClient::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool TcpClient::Fill(milliseconds timeout) {
    if (fd < 0 || closedByPeer) return false;
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) return true;
    char chunk[4096];
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) {
        closedByPeer = true;
        return false;
    }
    buffered.append(chunk, static_cast<std::size_t>(got));
    return true;
}

std::string TcpClient::ReadUntil(std::string_view wanted, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::size_t at = buffered.find(wanted);
        if (at != std::string::npos) {
            const std::string result = buffered.substr(0, at + wanted.size());
            buffered.erase(0, at + wanted.size());
            return result;
        }
        if (Clock::now() >= deadline || !Fill(milliseconds(Remaining(deadline)))) break;
    }
    std::string result;
    result.swap(buffered);
    return result;
}

std::string TcpClient::ReadFor(milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    while (Clock::now() < deadline && Fill(milliseconds(Remaining(deadline)))) {
    }
    std::string result;
    result.swap(buffered);
    return result;
}

bool TcpClient::WaitClosed(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closedByPeer && Clock::now() < deadline) {
        Fill(milliseconds(Remaining(deadline)));
    }
    return closedByPeer;
}

std::string TcpClient::Ask(std::string_view command, milliseconds timeout) {
    if (!Send(command)) return {};
    return ReadUntil(";", timeout);
}

std::uint16_t FreeLoopbackPort() {
    // Bind to port 0, read the port the system chose, and let it go again.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace brinmoor::test
