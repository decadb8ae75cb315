// Serial terminals on POSIX systems: termios for the line settings (termios2
// on Linux, so any baud rate works), the checks that keep the server to real
// serial lines, and the exclusive open.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#if defined(__linux__)
#include <sys/sysmacros.h>  // major, minor
// The kernel's own termios2 (any baud rate through BOTHER). It clashes with
// <termios.h>, so this file uses the ioctls directly and never includes that.
#include <asm/termbits.h>
#else
#include <termios.h>
#endif
#if !defined(CMSPAR)
#define CMSPAR 0  // no stick parity on this system: mark and space are refused
#endif

#include "platform/serial_device_posix.h"

namespace brinmoor {
namespace {

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

#if defined(__linux__)
// Whether a process holds the file with flock, read from /proc/locks, whose
// lines name a file by its file system's device and its inode:
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF". Waiters ("1: -> FLOCK")
// hold nothing.
bool HeldWithFlock(const std::string& path) {
    struct stat file {};
    if (stat(path.c_str(), &file) != 0) return false;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, where;
        fields >> id >> kind >> mode >> access >> pid >> where;
        if (kind == "FLOCK" && where == wanted) return true;
    }
    return false;
}
#else
bool HeldWithFlock(const std::string&) {
    return false;
}
#endif

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

int OpenTerminal(const std::string& name, const SerialDeviceSettings& settings) {
    // A NUL would cut the path short: the device opened would not be the one named.
    if (name.empty() || name.find('\0') != std::string::npos) return -1;
    const std::string path = DevicePath(name);
    // Opening a serial line raises DTR and RTS: a port another program holds
    // locked is left unopened (the exclusive flag below is only seen once open).
    if (HeldWithFlock(path)) return -1;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    // Checked before any call that changes the device; a refused one is only
    // closed again, so its output and its other holders are left as they were.
    if (!IsSerialTerminal(fd) || HeldExclusively(fd)) {
        close(fd);
        return -1;
    }
    // Exclusive: TIOCEXCL keeps other openers away (except root), the lock
    // keeps away every program that asks for it, root included. When the lock
    // is refused the flag is given back, so the holder's port is not left
    // exclusive to nobody.
    if (ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return -1;
    }
    ChangeModemLines(fd, TIOCM_DTR, false);
    ChangeModemLines(fd, TIOCM_RTS, false);
    if (!ApplySettings(fd, settings)) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return -1;
    }
    FlushBoth(fd);
    return fd;
}

void CloseTerminal(int fd) {
    ChangeModemLines(fd, TIOCM_DTR, false);
    ChangeModemLines(fd, TIOCM_RTS, false);
    // Bytes still queued (FSK at 45 baud) would make close wait for the
    // kernel's drain, up to 30 s, while the caller holds its locks.
    DiscardOutput(fd);
    // The flag can outlive this descriptor (a pseudo-terminal whose master
    // stays open), so give it back before closing.
    ioctl(fd, TIOCNXCL);
    close(fd);
}

void DiscardTerminalOutput(int fd) {
    DiscardOutput(fd);
}

void ChangeModemLines(int fd, int lines, bool on) {
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines);
}

}  // namespace brinmoor
