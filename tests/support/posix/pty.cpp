#include "support/posix/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

// termios2 shows any baud rate (Linux); it clashes with <termios.h>, so only this.
#include <asm/termbits.h>

#include <algorithm>
#include <cerrno>

namespace brinmoor::test {

using Clock = std::chrono::steady_clock;

PseudoTerminal::PseudoTerminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) return;
    const char* name = (grantpt(master) == 0 && unlockpt(master) == 0) ? ptsname(master) : nullptr;
    if (name == nullptr) {
        CloseMaster();
        return;
    }
    slavePath = name;
}

PseudoTerminal::~PseudoTerminal() {
    CloseMaster();
}

void PseudoTerminal::CloseMaster() {
    if (master >= 0) close(master);
    master = -1;
}

bool PseudoTerminal::Write(std::string_view bytes) {
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    std::size_t done = 0;
    while (master >= 0 && done < bytes.size() && Clock::now() < deadline) {
        const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd p{master, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
    return done == bytes.size();
}

void PseudoTerminal::Collect(std::chrono::milliseconds wait) {
    if (master < 0) return;
    pollfd p{master, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(wait.count()));
    if (ready > 0 && (p.revents & POLLIN)) {
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    } else if (ready != 0) {
        // No slave open at the moment (EIO / POLLHUP): wait instead of spinning.
        usleep(static_cast<useconds_t>(wait.count() * 1000));
    }
}

bool PseudoTerminal::WaitFor(std::string_view text, std::chrono::milliseconds timeout) {
    for (const auto deadline = Clock::now() + timeout; received.find(text) == std::string::npos;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        Collect(std::min(left, std::chrono::milliseconds(20)));
    }
    return true;
}

std::string PseudoTerminal::ReadFor(std::chrono::milliseconds duration) {
    const std::size_t before = received.size();
    WaitFor(std::string_view("\0never\0", 7), duration);  // no terminal sends this
    return received.substr(before);
}

std::string PseudoTerminal::TakeReceived() {
    std::string taken;
    taken.swap(received);
    return taken;
}

TtyLineSettings PseudoTerminal::LineSettings() const {
    TtyLineSettings settings;
    // Termios requests on a master act on its slave.
    struct termios2 tio {};
    if (master < 0 || ioctl(master, TCGETS2, &tio) != 0) return settings;
    settings.baud = tio.c_ospeed;
    settings.oddParity = (tio.c_cflag & PARODD) != 0;
    settings.stickParity = (tio.c_cflag & CMSPAR) != 0;
    settings.parityChecked = (tio.c_iflag & INPCK) != 0;
    settings.twoStopBits = (tio.c_cflag & CSTOPB) != 0;
    settings.hardwareFlow = (tio.c_cflag & CRTSCTS) != 0;
    settings.softwareFlow = (tio.c_iflag & (IXON | IXOFF)) != 0;
    settings.local = (tio.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD);
    settings.raw = (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
                   (tio.c_oflag & OPOST) == 0 && (tio.c_iflag & (ICRNL | INLCR | IGNCR)) == 0;
    return settings;
}

bool DeviceLocked(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY;  // held exclusively
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return locked;
}

}  // namespace brinmoor::test
