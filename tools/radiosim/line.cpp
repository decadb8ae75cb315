#include "line.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace brinmoor {
namespace {

bool NonBlocking(int fd) {
    return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

bool OpenTerminal(Line& line) {
    line.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.fd < 0 || grantpt(line.fd) != 0 || unlockpt(line.fd) != 0) return false;
    const char* path = ptsname(line.fd);
    if (path == nullptr) return false;
    line.slavePath = line.name = path;
    line.slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.slave < 0) return false;
    // Raw: a serial line carries CAT bytes, not lines for a terminal to edit or echo.
    termios settings{};
    if (tcgetattr(line.slave, &settings) != 0) return false;
    cfmakeraw(&settings);
    return tcsetattr(line.slave, TCSANOW, &settings) == 0 && NonBlocking(line.fd);
}

bool CreateLink(const Line& line) {
    struct stat info {};
    if (lstat(line.linkPath.c_str(), &info) == 0) {
        // Replace an old link, but never a file that someone else made.
        if (!S_ISLNK(info.st_mode)) {
            errno = EEXIST;
            return false;
        }
        if (unlink(line.linkPath.c_str()) != 0) return false;
    }
    return symlink(line.slavePath.c_str(), line.linkPath.c_str()) == 0;
}

bool Listen(Line& line, int port) {
    line.listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (line.listener < 0) return false;
    const int on = 1;
    setsockopt(line.listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(line.listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(line.listener, 4) != 0 ||
        getsockname(line.listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return false;
    }
    line.name = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    return true;
}

}  // namespace

bool OpenLine(Line& line, const Options& options) {
    if (options.tcpPort >= 0) return Listen(line, options.tcpPort);
    if (!OpenTerminal(line)) return false;
    line.linkPath = options.linkPath;
    return line.linkPath.empty() || CreateLink(line);
}

void CloseLine(Line& line) {
    if (!line.linkPath.empty()) {
        char target[4096];
        const ssize_t n = readlink(line.linkPath.c_str(), target, sizeof target);
        if (n > 0 && std::string_view(target, n) == line.slavePath) unlink(line.linkPath.c_str());
    }
    for (int* fd : {&line.fd, &line.slave, &line.listener}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void AcceptConnection(Line& line) {
    const int connection = accept4(line.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connection < 0) return;
    if (line.fd >= 0) {
        close(connection);
        return;
    }
    const int on = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    line.fd = connection;
}

bool HangUp(Line& line) {
    if (line.listener < 0 || line.fd < 0) return false;
    close(line.fd);
    line.fd = -1;
    return true;
}

}  // namespace brinmoor
