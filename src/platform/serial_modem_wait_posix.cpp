// Modem-line waits on POSIX systems. Linux: TIOCMIWAIT blocks until DSR or
// CTS changes, TIOCGICOUNT counts their edges. The wait has no time-out of
// its own, so a per-thread timer ends it with a signal: armed once for the
// time-out, and by a cancel fired during a wait every millisecond until the
// wait has ended (a signal that lands just before the ioctl begins is then
// followed by another). Elsewhere there are no line events: a caller polls.
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <utility>

#include "platform/serial_device_posix.h"

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/syscall.h>
#endif

namespace brinmoor {

struct ModemWaitCancel {
    std::mutex mutex;  // orders fires against the start and end of a wait
    bool fired = false;
    bool waiting = false;
    bool hasTimer = false;
#if defined(__linux__)
    timer_t timer{};
#endif
};

#if defined(__linux__)
namespace {

constexpr int kNoIoctlCommand = 515;  // ENOIOCTLCMD: the kernel's "driver lacks it"

int WakeSignal() {
    return SIGRTMIN + 4;
}

void Nothing(int) {}

// No SA_RESTART: the blocked ioctl returns EINTR to its thread.
void InstallWakeHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = Nothing;
        sigemptyset(&action.sa_mask);
        sigaction(WakeSignal(), &action, nullptr);
    });
}

void Arm(ModemWaitCancel& cancel, long firstNs, long everyNs) {
    if (!cancel.hasTimer) return;
    itimerspec when{};
    when.it_value.tv_sec = firstNs / 1000000000L;
    when.it_value.tv_nsec = firstNs % 1000000000L;
    when.it_interval.tv_nsec = everyNs;
    timer_settime(cancel.timer, 0, &when, nullptr);
}

// Begins a wait of at most ns: false when a fire came first (then spent).
bool BeginWait(ModemWaitCancel& cancel, long ns) {
    std::lock_guard<std::mutex> guard(cancel.mutex);
    if (std::exchange(cancel.fired, false)) return false;
    cancel.waiting = true;
    Arm(cancel, ns, 0);
    return true;
}

// Ends it: true when a fire came meanwhile (then spent). No signal follows.
bool EndWait(ModemWaitCancel& cancel) {
    std::lock_guard<std::mutex> guard(cancel.mutex);
    cancel.waiting = false;
    Arm(cancel, 0, 0);
    return std::exchange(cancel.fired, false);
}

// The lines now; false when the device has none (a pseudo-terminal).
bool ReadLines(int fd, ModemLines& now) {
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) return false;
    now.dsr = (lines & TIOCM_DSR) != 0;
    now.cts = (lines & TIOCM_CTS) != 0;
    serial_icounter_struct counts{};
    if (ioctl(fd, TIOCGICOUNT, &counts) == 0) {
        now.dsrEdges = static_cast<std::uint32_t>(counts.dsr);
        now.ctsEdges = static_cast<std::uint32_t>(counts.cts);
    }
    return true;
}

bool Differ(const ModemLines& a, const ModemLines& b) {
    return a.dsr != b.dsr || a.cts != b.cts || a.dsrEdges != b.dsrEdges ||
           a.ctsEdges != b.ctsEdges;
}

// Best effort: drivers that buffer input (USB adapters) hand it on sooner.
void AskLowLatency(SerialDevice& device) {
    device.lowLatencyAsked = true;
    serial_struct settings{};
    if (ioctl(device.fd, TIOCGSERIAL, &settings) != 0) return;
    if (settings.flags & ASYNC_LOW_LATENCY) return;
    settings.flags |= ASYNC_LOW_LATENCY;
    ioctl(device.fd, TIOCSSERIAL, &settings);
}

}  // namespace

ModemWaitCancel* CreateModemWaitCancel() {
    InstallWakeHandler();
    auto* cancel = new ModemWaitCancel;
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = WakeSignal();
    event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
    cancel->hasTimer = timer_create(CLOCK_MONOTONIC, &event, &cancel->timer) == 0;
    return cancel;
}

void FireModemWaitCancel(ModemWaitCancel* cancel) {
    if (cancel == nullptr) return;
    std::lock_guard<std::mutex> guard(cancel->mutex);
    cancel->fired = true;
    // At once, then every millisecond until the wait ends; a thread not
    // waiting finds the fire when its next wait begins.
    if (cancel->waiting) Arm(*cancel, 1, 1000000);
}

void DestroyModemWaitCancel(ModemWaitCancel* cancel) {
    if (cancel == nullptr) return;
    if (cancel->hasTimer) timer_delete(cancel->timer);
    delete cancel;
}

ModemWait WaitForModemChange(SerialDevice* device, ModemWaitCancel* cancel, int milliseconds,
                             ModemLines& seen) {
    if (device == nullptr || device->fd < 0 || cancel == nullptr) return ModemWait::Unsupported;
    ModemLines now = seen;
    if (!ReadLines(device->fd, now)) return ModemWait::Unsupported;
    if (Differ(now, seen)) {
        seen = now;
        return ModemWait::Changed;
    }
    if (milliseconds <= 0) return ModemWait::TimedOut;
    if (!device->lowLatencyAsked) AskLowLatency(*device);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (!BeginWait(*cancel, static_cast<long>(left.count()))) return ModemWait::Cancelled;
        const int result = ioctl(device->fd, TIOCMIWAIT, TIOCM_DSR | TIOCM_CTS);
        const int error = errno;
        if (EndWait(*cancel)) return ModemWait::Cancelled;
        if (result == 0) break;
        if (error == EINVAL || error == ENOTTY || error == kNoIoctlCommand) {
            return ModemWait::Unsupported;
        }
        if (error != EINTR) {
            // Gone (hung up, unplugged): wait out the time, still cancellable.
            const timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
            if (!BeginWait(*cancel, static_cast<long>(left.count()))) return ModemWait::Cancelled;
            nanosleep(&pause, nullptr);
            return EndWait(*cancel) ? ModemWait::Cancelled : ModemWait::TimedOut;
        }
    }
    if (!ReadLines(device->fd, now)) return ModemWait::Unsupported;
    const bool changed = Differ(now, seen);
    seen = now;
    return changed ? ModemWait::Changed : ModemWait::TimedOut;
}

#else  // no line events on this system

ModemWaitCancel* CreateModemWaitCancel() {
    return new ModemWaitCancel;
}
void FireModemWaitCancel(ModemWaitCancel* cancel) {
    if (cancel == nullptr) return;
    std::lock_guard<std::mutex> guard(cancel->mutex);
    cancel->fired = true;
}
void DestroyModemWaitCancel(ModemWaitCancel* cancel) {
    delete cancel;
}
ModemWait WaitForModemChange(SerialDevice*, ModemWaitCancel*, int, ModemLines&) {
    return ModemWait::Unsupported;
}

#endif

}  // namespace brinmoor
