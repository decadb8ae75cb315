// Serial devices on POSIX systems: termios for the line settings (termios2 on
// Linux, so any baud rate works), poll for reads with a time-out, ioctl for the
// modem lines.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
// The kernel's own termios2 (any baud rate through BOTHER). It clashes with
// <termios.h>, so this file uses the ioctls directly and never includes that.
#include <asm/termbits.h>
#else
#include <termios.h>
#endif
#if !defined(CMSPAR)
#define CMSPAR 0  // no stick parity on this system: mark and space are refused
#endif

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/serial_device.h"
#include "platform/serial_rules.h"

namespace brinmoor {

struct SerialDevice {
    int fd = -1;
    std::uint32_t baud = 0;   // bounds how long a write may take
    int readTimeoutMs = 200;  // until the first SetSerialReadTimeout
    bool inBurst = false;     // the last read took a byte: more are likely queued
};

namespace {

using Clock = std::chrono::steady_clock;

std::string DevicePath(const std::string& name) {
    // "ttyUSB0" names a device under /dev; anything with a slash is a path.
    if (name.find('/') != std::string::npos) return name;
    return "/dev/" + name;
}

tcflag_t DataBitsFlag(std::uint8_t dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

#if defined(__linux__)
using LineSettings = struct termios2;

bool GetLineSettings(int fd, LineSettings& tio) {
    return ioctl(fd, TCGETS2, &tio) == 0;
}
bool SetLineSettings(int fd, const LineSettings& tio) {
    return ioctl(fd, TCSETS2, &tio) == 0;
}
bool SetSpeed(LineSettings& tio, std::uint32_t baud) {
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return true;
}
void FlushBoth(int fd) {
    ioctl(fd, TCFLSH, TCIOFLUSH);
}
void DiscardOutput(int fd) {
    ioctl(fd, TCFLSH, TCOFLUSH);
}
#else
using LineSettings = struct termios;

bool GetLineSettings(int fd, LineSettings& tio) {
    return tcgetattr(fd, &tio) == 0;
}
bool SetLineSettings(int fd, const LineSettings& tio) {
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}
bool SetSpeed(LineSettings& tio, std::uint32_t baud) {
    speed_t speed = 0;
    switch (baud) {
        case 50:
            speed = B50;
            break;
        case 75:
            speed = B75;
            break;
        case 110:
            speed = B110;
            break;
        case 134:
            speed = B134;
            break;
        case 150:
            speed = B150;
            break;
        case 200:
            speed = B200;
            break;
        case 300:
            speed = B300;
            break;
        case 600:
            speed = B600;
            break;
        case 1200:
            speed = B1200;
            break;
        case 1800:
            speed = B1800;
            break;
        case 2400:
            speed = B2400;
            break;
        case 4800:
            speed = B4800;
            break;
        case 9600:
            speed = B9600;
            break;
        case 19200:
            speed = B19200;
            break;
        case 38400:
            speed = B38400;
            break;
        case 57600:
            speed = B57600;
            break;
        case 115200:
            speed = B115200;
            break;
        case 230400:
            speed = B230400;
            break;
        default:
            return false;
    }
    return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0;
}
void FlushBoth(int fd) {
    tcflush(fd, TCIOFLUSH);
}
void DiscardOutput(int fd) {
    tcflush(fd, TCOFLUSH);
}
#endif

bool ApplySettings(int fd, const SerialDeviceSettings& settings) {
    if (settings.baud == 0) return false;  // speed 0 means "hang up" to a tty
    if (settings.dataBits < 5 || settings.dataBits > 8) return false;
    const bool stick =
        settings.parity == SerialParity::Mark || settings.parity == SerialParity::Space;
    if (stick && CMSPAR == 0) return false;
    LineSettings tio{};
    if (!GetLineSettings(fd, tio)) return false;

    // Raw bytes both ways, as cfmakeraw sets them.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | DataBitsFlag(settings.dataBits);
    tio.c_cc[VMIN] = 0;  // reads never block; poll does the waiting
    tio.c_cc[VTIME] = 0;

    switch (settings.parity) {
        case SerialParity::None:
            break;
        case SerialParity::Even:
            tio.c_cflag |= PARENB;
            break;
        case SerialParity::Odd:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case SerialParity::Mark:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SerialParity::Space:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
    }
    if (settings.parity != SerialParity::None) tio.c_iflag |= INPCK;
    // A tty has no 1.5 stop bits of its own; CSTOPB gives 1.5 with 5 data bits.
    if (settings.stopBits != SerialStopBits::One) tio.c_cflag |= CSTOPB;

    if (!SetSpeed(tio, settings.baud)) return false;
    return SetLineSettings(fd, tio);
}

void ChangeModemLines(int fd, int lines, bool on) {
    // A device without modem lines (a pseudo-terminal) refuses; that is no effect.
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines);
}

// Errors of a write on a device that has been unplugged or hung up.
bool MeansGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

void WaitUntil(Clock::time_point deadline) {
    std::this_thread::sleep_until(deadline);
}

bool SameDevice(const struct stat& opened, const char* path) {
    struct stat other {};
    return stat(path, &other) == 0 && S_ISCHR(other.st_mode) && other.st_rdev == opened.st_rdev;
}

// A terminal that can be a serial line: a character device and a tty, but not
// the multiplexer that makes new pseudo-terminals, the process's controlling
// terminal or the console, under whatever name they were reached. The slaves
// under /dev/pts pass: programs reach app groups through them.
bool IsSerialTerminal(int fd) {
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode) || isatty(fd) != 1) return false;
    for (const char* refused : {"/dev/ptmx", "/dev/tty", "/dev/console"}) {
        if (SameDevice(opened, refused)) return false;
    }
    return true;
}

// Another holder's exclusive flag (root would pass it): leave that port alone.
bool HeldExclusively(int fd) {
#if defined(TIOCGEXCL)
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
    (void)fd;
    return false;
#endif
}

}  // namespace

SerialDevice* OpenSerialDevice(const std::string& name, const SerialDeviceSettings& settings) {
    // A NUL would cut the path short: the device opened would not be the one named.
    if (name.empty() || name.find('\0') != std::string::npos) return nullptr;
    const std::string path = DevicePath(name);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // Checked before any call that changes the device; a refused one is only
    // closed again, so its output and its other holders are left as they were.
    if (!IsSerialTerminal(fd) || HeldExclusively(fd)) {
        close(fd);
        return nullptr;
    }
    // Exclusive: TIOCEXCL keeps other openers away (except root), the lock
    // keeps away every program that asks for it, root included. When the lock
    // is refused the flag is given back, so the holder's port is not left
    // exclusive to nobody.
    if (ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return nullptr;
    }
    ChangeModemLines(fd, TIOCM_DTR, false);
    ChangeModemLines(fd, TIOCM_RTS, false);
    if (!ApplySettings(fd, settings)) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return nullptr;
    }
    FlushBoth(fd);
    return new SerialDevice{fd, settings.baud};
}

void CloseSerialDevice(SerialDevice* device) {
    if (device == nullptr) return;
    ChangeModemLines(device->fd, TIOCM_DTR, false);
    ChangeModemLines(device->fd, TIOCM_RTS, false);
    // Bytes still queued (FSK at 45 baud) would make close wait for the
    // kernel's drain, up to 30 s, while the caller holds its locks.
    DiscardOutput(device->fd);
    // The flag can outlive this descriptor (a pseudo-terminal whose master
    // stays open), so give it back before closing.
    ioctl(device->fd, TIOCNXCL);
    close(device->fd);
    delete device;
}

void SetSerialReadTimeout(SerialDevice* device, int milliseconds) {
    if (device != nullptr) device->readTimeoutMs = milliseconds < 0 ? 0 : milliseconds;
}

SerialRead ReadSerialByte(SerialDevice* device, char& byte) {
    if (device == nullptr) return SerialRead::Idle;
    // Within a burst (the rest of a reply) the next byte is taken without a
    // poll first: half the system calls per byte. Anything else (0: no byte
    // or a hang-up, or an error) is sorted out by the poll below, which is
    // also where an idle port waits without the extra call.
    if (device->inBurst && ::read(device->fd, &byte, 1) == 1) return SerialRead::Byte;
    device->inBurst = false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(device->readTimeoutMs);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{device->fd, POLLIN, 0};
        const int ready = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno != EINTR) break;  // treated as gone
        if (ready > 0) {
            if (p.revents & POLLIN) {
                const ssize_t got = read(device->fd, &byte, 1);
                if (got == 1) {
                    device->inBurst = true;
                    return SerialRead::Byte;
                }
                // 0 on a tty after hang-up, EIO when the device went away.
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    break;
                }
            } else if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
                break;
            }
        }
        if (Clock::now() >= deadline) return SerialRead::Idle;
    }
    // Gone: still take the whole time-out so a dead device never spins a caller.
    WaitUntil(deadline);
    return SerialRead::Gone;
}

SerialWrite WriteSerialDevice(SerialDevice* device, std::string_view bytes) {
    if (device == nullptr) return SerialWrite::Failed;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(SerialWriteTimeoutMs(bytes.size(), device->baud));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(device->fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return MeansGone(errno) ? SerialWrite::Gone : SerialWrite::Failed;
        }
        // The output queue is full: wait for room, within the write's bound.
        pollfd p{device->fd, POLLOUT, 0};
        int ready;
        do {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            ready = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        } while (ready < 0 && errno == EINTR);
        if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return SerialWrite::Gone;
        if (ready <= 0 || !(p.revents & POLLOUT)) return SerialWrite::Failed;
    }
    return SerialWrite::Done;
}

std::uint32_t SerialInputQueueLength(SerialDevice* device) {
    if (device == nullptr) return 0;
    int count = 0;
    if (ioctl(device->fd, FIONREAD, &count) != 0 || count < 0) return 0;
    return static_cast<std::uint32_t>(count);
}

bool WaitForSerialInput(SerialDevice* device, int milliseconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    if (device == nullptr) {
        WaitUntil(deadline);
        return false;
    }
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{device->fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
    }
}

void SetSerialDtr(SerialDevice* device, bool on) {
    if (device != nullptr) ChangeModemLines(device->fd, TIOCM_DTR, on);
}

void SetSerialRts(SerialDevice* device, bool on) {
    if (device != nullptr) ChangeModemLines(device->fd, TIOCM_RTS, on);
}

bool IsSerialDsrOn(SerialDevice* device) {
    if (device == nullptr) return false;
    int lines = 0;
    if (ioctl(device->fd, TIOCMGET, &lines) != 0) return false;
    return (lines & TIOCM_DSR) != 0;
}

}  // namespace brinmoor
