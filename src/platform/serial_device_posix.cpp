// Serial devices on POSIX systems: one open record for every kind of name.
// Terminals and pseudo-terminals are file descriptors, read with poll and
// written on one path here; tcp: endpoints go to tcp_endpoint.cpp. How a
// terminal is opened lives in serial_tty_posix.cpp, how a pseudo-terminal is
// made in serial_pty_posix.cpp.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/serial_device_posix.h"
#include "platform/serial_rules.h"

namespace brinmoor {
namespace {

using Clock = std::chrono::steady_clock;

// Errors of a write on a device that has been unplugged or hung up.
bool MeansGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

void WaitUntil(Clock::time_point deadline) {
    std::this_thread::sleep_until(deadline);
}

}  // namespace

SerialDevice* OpenSerialDevice(const std::string& name, const SerialDeviceSettings& settings,
                               const EndpointOptions& options) {
    const EndpointName endpoint = ParseEndpointName(name);
    if (!endpoint.problem.empty()) return nullptr;
    switch (endpoint.kind) {
        case EndpointKind::Tcp: {
            TcpEndpoint* tcp = OpenTcpEndpoint(endpoint, options);
            return tcp != nullptr ? new SerialDevice{EndpointKind::Tcp, -1, tcp} : nullptr;
        }
        case EndpointKind::Pty:
            // The radio is a device or a server somewhere, never one made here.
            return options.outgoing ? nullptr : OpenPseudoTerminal(endpoint.path, options);
        case EndpointKind::Serial:
            break;
    }
    const int fd = OpenTerminal(name, settings);
    return fd >= 0 ? new SerialDevice{EndpointKind::Serial, fd, nullptr, settings.baud} : nullptr;
}

void CloseSerialDevice(SerialDevice* device) {
    if (device == nullptr) return;
    switch (device->kind) {
        case EndpointKind::Tcp:
            CloseTcpEndpoint(device->tcp);
            break;
        case EndpointKind::Pty:
            ClosePseudoTerminal(*device);
            break;
        case EndpointKind::Serial:
            CloseTerminal(device->fd);
            break;
    }
    delete device;
}

void SetSerialReadTimeout(SerialDevice* device, int milliseconds) {
    if (device != nullptr) device->readTimeoutMs = milliseconds < 0 ? 0 : milliseconds;
}

SerialRead ReadSerialByte(SerialDevice* device, char& byte) {
    if (device == nullptr) return SerialRead::Idle;
    if (device->tcp != nullptr) return ReadTcpByte(device->tcp, device->readTimeoutMs, byte);
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
    if (device->tcp != nullptr) return WriteTcpEndpoint(device->tcp, bytes);
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

void DiscardSerialOutput(SerialDevice* device) {
    if (device != nullptr && device->fd >= 0) DiscardTerminalOutput(device->fd);
}

std::uint32_t SerialInputQueueLength(SerialDevice* device) {
    if (device == nullptr) return 0;
    if (device->tcp != nullptr) return TcpInputQueueLength(device->tcp);
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
    if (device->tcp != nullptr) return WaitForTcpInput(device->tcp, milliseconds);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{device->fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
    }
}

// A tcp: endpoint has no lines; ioctl on a pseudo-terminal's master refuses.
void SetSerialDtr(SerialDevice* device, bool on) {
    if (device != nullptr && device->fd >= 0) ChangeModemLines(device->fd, TIOCM_DTR, on);
}

void SetSerialRts(SerialDevice* device, bool on) {
    if (device != nullptr && device->fd >= 0) ChangeModemLines(device->fd, TIOCM_RTS, on);
}

bool IsSerialDsrOn(SerialDevice* device) {
    if (device == nullptr || device->fd < 0) return false;
    int lines = 0;
    if (ioctl(device->fd, TIOCMGET, &lines) != 0) return false;
    return (lines & TIOCM_DSR) != 0;
}

}  // namespace brinmoor
