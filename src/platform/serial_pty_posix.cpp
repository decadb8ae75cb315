// Pseudo-terminals the server makes for pty: names: the master is the
// relay's port, and a symbolic link at the named path leads programs to the
// slave. The server holds the slave open too, so a program may come and go
// without the master seeing a hang-up.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "platform/serial_device_posix.h"

namespace brinmoor {
namespace {

constexpr std::string_view kSlaveFolder = "/dev/pts/";

// Links this process holds, and the slave each names: a link is never made
// twice, and a stale link that names a slave of ours is known for stale.
struct Links {
    std::mutex mutex;
    std::map<std::string, std::string> held;  // link path -> slave path
};

Links& TheLinks() {
    static Links links;
    return links;
}

std::optional<std::string> LinkTarget(const std::string& path) {
    char target[4096];
    const ssize_t size = readlink(path.c_str(), target, sizeof target);
    if (size <= 0 || static_cast<std::size_t>(size) >= sizeof target) return std::nullopt;
    return std::string(target, static_cast<std::size_t>(size));
}

bool HoldsSlave(const Links& links, const std::string& slave) {
    for (const auto& [link, held] : links.held) {
        if (held == slave) return true;
    }
    return false;
}

// Why the path cannot take the link, or empty when it is free now. A link
// into /dev/pts whose pseudo-terminal is gone (or is one of ours, renumbered
// after a restart) is stale and removed; anything else is left alone.
std::string ClearLinkPath(const Links& links, const std::string& path) {
    if (links.held.count(path) != 0) return path + " is already a link of this server";
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? std::string() : path + ": " + std::strerror(errno);
    }
    if (!S_ISLNK(info.st_mode)) return path + " exists and is not a link; it is left alone";
    const std::optional<std::string> target = LinkTarget(path);
    if (!target || target->rfind(kSlaveFolder, 0) != 0) {
        return path + " is a link to " + target.value_or("?") +
               ", not to a pseudo-terminal; it is left alone";
    }
    struct stat slave {};
    if (stat(target->c_str(), &slave) == 0 && !HoldsSlave(links, *target)) {
        return path + " leads to " + *target + ", a pseudo-terminal in use (another program's?)";
    }
    if (unlink(path.c_str()) != 0) return path + ": " + std::strerror(errno);
    return {};
}

bool MakeRaw(int fd) {
    // Raw: a serial line carries CAT bytes, not lines for a terminal to edit or echo.
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

// Master and slave, both non-blocking and closed on exec; false on failure.
bool MakePair(SerialDevice& device) {
    device.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (device.fd < 0 || grantpt(device.fd) != 0 || unlockpt(device.fd) != 0) return false;
    char path[256];
    if (ptsname_r(device.fd, path, sizeof path) != 0) return false;
    device.slavePath = path;
    device.slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (device.slave < 0 || !MakeRaw(device.slave)) return false;
    return fcntl(device.fd, F_SETFL, fcntl(device.fd, F_GETFL) | O_NONBLOCK) == 0;
}

void ClosePair(SerialDevice& device) {
    if (device.slave >= 0) close(device.slave);
    if (device.fd >= 0) close(device.fd);
    device.slave = device.fd = -1;
}

}  // namespace

SerialDevice* OpenPseudoTerminal(const std::string& linkPath, const EndpointOptions& options) {
    Links& links = TheLinks();
    std::lock_guard<std::mutex> guard(links.mutex);
    auto refuse = [&options](std::string why) -> SerialDevice* {
        if (options.told) options.told({EndpointEvent::NotOpened, 0, std::move(why)});
        return nullptr;
    };
    // Cleared before the pair is made: the new slave may take the number a
    // stale link still names.
    if (std::string why = ClearLinkPath(links, linkPath); !why.empty()) return refuse(why);
    auto* device = new SerialDevice{EndpointKind::Pty};
    device->linkPath = linkPath;
    if (!MakePair(*device)) {
        const int error = errno;
        ClosePair(*device);
        delete device;
        return refuse(std::string("no pseudo-terminal: ") + std::strerror(error));
    }
    if (symlink(device->slavePath.c_str(), linkPath.c_str()) != 0) {
        const int error = errno;
        ClosePair(*device);
        delete device;
        return refuse("cannot make the link " + linkPath + ": " + std::strerror(error));
    }
    links.held[linkPath] = device->slavePath;
    return device;
}

void ClosePseudoTerminal(SerialDevice& device) {
    Links& links = TheLinks();
    std::lock_guard<std::mutex> guard(links.mutex);
    // Someone may have put their own link there since: that one stays.
    if (LinkTarget(device.linkPath) == device.slavePath) unlink(device.linkPath.c_str());
    links.held.erase(device.linkPath);
    ClosePair(device);
}

}  // namespace brinmoor
