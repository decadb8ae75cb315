// Serial devices on Windows: one communications handle per port, opened for
// overlapped I/O so that a modem-line wait (WaitCommEvent) never holds up a
// read or a write of another thread; every other call still waits for its
// own end, read one byte at a time under SetCommTimeouts. A tcp: name is
// served by tcp_endpoint.cpp on Winsock; pty: names open nothing.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/serial_device.h"
#include "platform/serial_rules.h"
#include "platform/tcp_endpoint.h"

namespace brinmoor {

struct SerialDevice {
    TcpEndpoint* tcp = nullptr;  // a tcp: endpoint; the handle is then unused
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::uint32_t baud = 0;    // bounds how long a write may take
    int readTimeoutMs = 200;   // the constant Open installs
    DWORD writeTimeoutMs = 0;  // the write bound installed last
    std::mutex modemWait;      // one WaitCommEvent at a time per handle
    bool eventMaskSet = false;  // under modemWait
};

struct ModemWaitCancel {
    HANDLE event = nullptr;  // auto-reset: a wait that sees it spends it
};

namespace {

using Clock = std::chrono::steady_clock;

BYTE ParityCode(SerialParity parity) {
    switch (parity) {
        case SerialParity::Odd:
            return ODDPARITY;
        case SerialParity::Even:
            return EVENPARITY;
        case SerialParity::Mark:
            return MARKPARITY;
        case SerialParity::Space:
            return SPACEPARITY;
        case SerialParity::None:
            break;
    }
    return NOPARITY;
}

BYTE StopBitsCode(SerialStopBits stopBits) {
    switch (stopBits) {
        case SerialStopBits::OneAndHalf:
            return ONE5STOPBITS;
        case SerialStopBits::Two:
            return TWOSTOPBITS;
        case SerialStopBits::One:
            break;
    }
    return ONESTOPBIT;
}

// Errors of a ReadFile or WriteFile on a port whose device has been unplugged or whose
// driver has given up on it.
bool MeansGone(DWORD error, HANDLE handle) {
    switch (error) {
        case ERROR_OPERATION_ABORTED: {
            // Also what a line error gives while the driver aborts on errors;
            // clearing the error tells a live port from a dead one.
            DWORD errors = 0;
            COMSTAT status{};
            return !ClearCommError(handle, &errors, &status);
        }
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_READY:
            return true;
        default:
            return false;
    }
}

// ReadFile or WriteFile on the overlapped handle, waiting for its end as a
// synchronous call would.
template <class Call>
BOOL Finish(HANDLE handle, DWORD& done, Call call) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return FALSE;
    BOOL ok = call(&overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(handle, &overlapped, &done, TRUE);
    }
    const DWORD error = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(error);
    return ok;
}

// Read and write time-outs are one structure: both are installed together.
void InstallTimeouts(SerialDevice& device, DWORD writeTimeoutMs) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(device.readTimeoutMs);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = writeTimeoutMs;
    SetCommTimeouts(device.handle, &timeouts);
    device.writeTimeoutMs = writeTimeoutMs;
}

}  // namespace

SerialDevice* OpenSerialDevice(const std::string& name, const SerialDeviceSettings& settings,
                               const EndpointOptions& options) {
    const EndpointName endpoint = ParseEndpointName(name);
    if (!endpoint.problem.empty() || endpoint.kind == EndpointKind::Pty) return nullptr;
    if (endpoint.kind == EndpointKind::Tcp) {
        TcpEndpoint* tcp = OpenTcpEndpoint(endpoint, options);
        if (tcp == nullptr) return nullptr;
        auto* opened = new SerialDevice;
        opened->tcp = tcp;
        return opened;
    }
    // Only a plain device name reaches CreateFileW, so a name cannot make the
    // server open a pipe or a file on another host.
    const std::optional<std::string> device = WindowsDeviceName(name);
    if (!device) return nullptr;
    // "\\.\" reaches every COM port, COM10 and up included. Port names are
    // ASCII; each byte becomes one UTF-16 unit, sign-extended.
    std::wstring path = L"\\\\.\\";
    for (char c : *device) {
        path.push_back(static_cast<wchar_t>(static_cast<signed char>(c)));
    }
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;

    EscapeCommFunction(handle, CLRDTR);
    EscapeCommFunction(handle, CLRRTS);

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return nullptr;
    }
    dcb.BaudRate = settings.baud;
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = ParityCode(settings.parity);
    dcb.StopBits = StopBitsCode(settings.stopBits);
    // No flow control of any kind; the program drives DTR and RTS itself.
    // The other flags keep the driver's values.
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (dcb.Parity != NOPARITY) dcb.fParity = TRUE;
    if (!SetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return nullptr;
    }

    auto* opened = new SerialDevice;
    opened->handle = handle;
    opened->baud = settings.baud;
    InstallTimeouts(*opened, SerialWriteTimeoutMs(1, settings.baud));
    PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    return opened;
}

void CloseSerialDevice(SerialDevice* device) {
    if (device == nullptr) return;
    if (device->tcp != nullptr) {
        CloseTcpEndpoint(device->tcp);
        delete device;
        return;
    }
    EscapeCommFunction(device->handle, CLRDTR);
    EscapeCommFunction(device->handle, CLRRTS);
    // Queued output is thrown away, so closing never waits for it.
    PurgeComm(device->handle, PURGE_TXABORT | PURGE_TXCLEAR);
    CloseHandle(device->handle);
    delete device;
}

void SetSerialReadTimeout(SerialDevice* device, int milliseconds) {
    if (device == nullptr) return;
    device->readTimeoutMs = milliseconds < 0 ? 0 : milliseconds;
    if (device->tcp != nullptr) return;
    // The write bound stays: a port that was read still never blocks a write for ever.
    InstallTimeouts(*device, device->writeTimeoutMs);
}

SerialRead ReadSerialByte(SerialDevice* device, char& byte) {
    if (device == nullptr) return SerialRead::Idle;
    if (device->tcp != nullptr) return ReadTcpByte(device->tcp, device->readTimeoutMs, byte);
    const auto deadline = Clock::now() + std::chrono::milliseconds(device->readTimeoutMs);
    DWORD got = 0;
    if (Finish(device->handle, got,
               [&](OVERLAPPED* o) { return ReadFile(device->handle, &byte, 1, &got, o); })) {
        if (got == 1) return SerialRead::Byte;
        // The driver normally waits the time-out itself; make sure of it.
        std::this_thread::sleep_until(deadline);
        return SerialRead::Idle;
    }
    const bool gone = MeansGone(GetLastError(), device->handle);
    // A failing ReadFile often returns at once; waiting out the time-out keeps
    // a dead or faulty port from spinning its caller.
    std::this_thread::sleep_until(deadline);
    return gone ? SerialRead::Gone : SerialRead::Idle;
}

SerialWrite WriteSerialDevice(SerialDevice* device, std::string_view bytes) {
    if (device == nullptr) return SerialWrite::Failed;
    if (device->tcp != nullptr) return WriteTcpEndpoint(device->tcp, bytes);
    // As long as these bytes need at the port's speed, plus a margin.
    const DWORD bound = SerialWriteTimeoutMs(bytes.size(), device->baud);
    if (bound != device->writeTimeoutMs) InstallTimeouts(*device, bound);
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(bytes.size());
    if (!Finish(device->handle, written, [&](OVERLAPPED* o) {
            return WriteFile(device->handle, bytes.data(), size, &written, o);
        })) {
        return MeansGone(GetLastError(), device->handle) ? SerialWrite::Gone : SerialWrite::Failed;
    }
    return written == size && size == bytes.size() ? SerialWrite::Done : SerialWrite::Failed;
}

std::uint32_t SerialInputQueueLength(SerialDevice* device) {
    if (device == nullptr) return 0;
    if (device->tcp != nullptr) return TcpInputQueueLength(device->tcp);
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(device->handle, &errors, &status)) return 0;
    return status.cbInQue;
}

bool WaitForSerialInput(SerialDevice* device, int milliseconds) {
    // The handle's one WaitCommEvent belongs to the modem-line wait: look at
    // the queue every few milliseconds instead.
    if (device != nullptr && device->tcp != nullptr) return WaitForTcpInput(device->tcp, milliseconds);
    constexpr DWORD kQueuePollMs = 10;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(std::max(milliseconds, 0));
    for (;;) {
        if (device != nullptr) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!ClearCommError(device->handle, &errors, &status) || status.cbInQue > 0) return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kQueuePollMs, deadline - now)));
    }
}

void DiscardSerialOutput(SerialDevice* device) {
    if (device != nullptr && device->tcp == nullptr) PurgeComm(device->handle, PURGE_TXCLEAR);
}

// A tcp: endpoint has no modem lines.
void SetSerialDtr(SerialDevice* device, bool on) {
    if (device != nullptr && device->tcp == nullptr) EscapeCommFunction(device->handle, on ? SETDTR : CLRDTR);
}

void SetSerialRts(SerialDevice* device, bool on) {
    if (device != nullptr && device->tcp == nullptr) EscapeCommFunction(device->handle, on ? SETRTS : CLRRTS);
}

bool IsSerialDsrOn(SerialDevice* device) {
    if (device == nullptr || device->tcp != nullptr) return false;
    DWORD status = 0;
    GetCommModemStatus(device->handle, &status);
    return (status & MS_DSR_ON) != 0;
}

}  // namespace brinmoor

namespace brinmoor {
namespace {

// The lines now; false when the driver cannot tell (Wine says error 50).
bool ReadLines(HANDLE handle, ModemLines& now) {
    DWORD status = 0;
    if (!GetCommModemStatus(handle, &status)) return false;
    now.dsr = (status & MS_DSR_ON) != 0;
    now.cts = (status & MS_CTS_ON) != 0;
    return true;
}

// How a WaitCommEvent ended.
enum class CommEvent { Came, Cancelled, TimedOut, Failed };

// The driver keeps the events that came since the mask was set or the last
// wait ended, so an edge between two waits ends the next one at once.
CommEvent AwaitCommEvent(SerialDevice& device, HANDLE cancel, DWORD milliseconds) {
    if (!device.eventMaskSet && !SetCommMask(device.handle, EV_DSR | EV_CTS)) {
        return CommEvent::Failed;
    }
    device.eventMaskSet = true;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return CommEvent::Failed;
    DWORD mask = 0;
    CommEvent result = CommEvent::Came;
    if (!WaitCommEvent(device.handle, &mask, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            result = CommEvent::Failed;
        } else {
            const HANDLE handles[2] = {overlapped.hEvent, cancel};
            const DWORD woke = WaitForMultipleObjects(2, handles, FALSE, milliseconds);
            DWORD ignored = 0;
            if (woke != WAIT_OBJECT_0) {
                result = woke == WAIT_OBJECT_0 + 1 ? CommEvent::Cancelled : CommEvent::TimedOut;
                CancelIoEx(device.handle, &overlapped);
            }
            // The driver lets go of the structure before it goes out of scope.
            if (!GetOverlappedResult(device.handle, &overlapped, &ignored, TRUE) &&
                result == CommEvent::Came) {
                result = CommEvent::Failed;
            }
        }
    }
    CloseHandle(overlapped.hEvent);
    return result;
}

}  // namespace

ModemWaitCancel* CreateModemWaitCancel() {
    auto* cancel = new ModemWaitCancel;
    cancel->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return cancel;
}

void FireModemWaitCancel(ModemWaitCancel* cancel) {
    if (cancel != nullptr && cancel->event != nullptr) SetEvent(cancel->event);
}

void DestroyModemWaitCancel(ModemWaitCancel* cancel) {
    if (cancel == nullptr) return;
    if (cancel->event != nullptr) CloseHandle(cancel->event);
    delete cancel;
}

ModemWait WaitForModemChange(SerialDevice* device, ModemWaitCancel* cancel, int milliseconds,
                             ModemLines& seen) {
    if (device == nullptr || device->tcp != nullptr || cancel == nullptr ||
        cancel->event == nullptr) {
        return ModemWait::Unsupported;
    }
    ModemLines now = seen;
    if (!ReadLines(device->handle, now)) return ModemWait::Unsupported;
    if (now.dsr != seen.dsr || now.cts != seen.cts) {
        seen = now;
        return ModemWait::Changed;
    }
    if (milliseconds <= 0) return ModemWait::TimedOut;
    const DWORD time = static_cast<DWORD>(milliseconds);
    CommEvent ended;
    std::unique_lock<std::mutex> turn(device->modemWait, std::try_to_lock);
    if (turn.owns_lock()) {
        ended = AwaitCommEvent(*device, cancel->event, time);
        turn.unlock();
    } else {
        // Another thread waits on this handle (a CW line sharing the PTT
        // cable): look again every 10 ms instead.
        ended = WaitForSingleObject(cancel->event, std::min<DWORD>(time, 10)) == WAIT_OBJECT_0
                    ? CommEvent::Cancelled
                    : CommEvent::TimedOut;
    }
    if (ended == CommEvent::Cancelled) return ModemWait::Cancelled;
    if (ended == CommEvent::Failed) return ModemWait::Unsupported;
    if (!ReadLines(device->handle, now)) return ModemWait::Unsupported;
    const bool changed = now.dsr != seen.dsr || now.cts != seen.cts;
    seen = now;
    return changed ? ModemWait::Changed : ModemWait::TimedOut;
}

}  // namespace brinmoor
