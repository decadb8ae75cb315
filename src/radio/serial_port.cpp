#include "radio/serial_port.h"

#include "config/port_settings.h"
#include "platform/serial_rules.h"

namespace brinmoor {
namespace {

constexpr int kDiscardReadMs = 10;  // one read while throwing stale input away

}  // namespace

SerialDeviceSettings MakeSerialSettings(std::uint32_t baud, std::uint32_t dataBits, char parity,
                                        float stopBits) {
    SerialDeviceSettings settings;
    settings.baud = baud;
    settings.dataBits = static_cast<std::uint8_t>(dataBits);
    settings.parity = SerialParityFromCode(parity);
    settings.stopBits = SerialStopBitsFromValue(stopBits);
    return settings;
}

SerialPort::~SerialPort() {
    Close();
}

bool SerialPort::Open(const std::string& name, std::uint32_t baud, std::uint32_t dataBits,
                      char parity, float stopBits, const EndpointOptions& options) {
    // A reopen releases the old handle first, so the exclusive open can succeed.
    Close();
    const SerialDeviceSettings settings = MakeSerialSettings(baud, dataBits, parity, stopBits);
    handle = OpenSerialDevice(name, settings, options);
    deviceGone = false;
    characterTime = SerialCharacterTime(settings);
    lineBusyUntil = {};
    lastWriter = nullptr;
    return handle != nullptr;
}

bool SerialPort::LockedOpen(const std::string& name, std::uint32_t baud, std::uint32_t dataBits,
                            char parity, float stopBits, const EndpointOptions& options) {
    std::lock_guard guard(lock);
    return Open(name, baud, dataBits, parity, stopBits, options);
}

void SerialPort::Close() {
    SerialDevice* device = handle.exchange(nullptr);
    if (device != nullptr) CloseSerialDevice(device);
    deviceGone = false;
}

void SerialPort::LockedClose() {
    std::lock_guard guard(lock);
    Close();
}

std::string SerialPort::ReadCount(int count, int budgetMs) {
    std::string result;
    if (count <= 0) return result;
    std::lock_guard guard(lock);
    // The budget bounds the sum of every empty read of this call, not the gap
    // between bytes: a trickle of bytes cannot keep the caller here forever.
    std::int64_t idle = 0;
    for (;;) {
        if (idle >= budgetMs) break;
        SerialDevice* device = handle;
        if (device != nullptr) {
            SetSerialReadTimeout(device, kSerialPollMs);
            char byte = 0;
            const SerialRead read = ReadSerialByte(device, byte);
            deviceGone = read == SerialRead::Gone;
            if (read == SerialRead::Byte) {
                result.push_back(byte);
            } else {
                idle += kSerialPollMs;
            }
        } else {
            idle += kSerialPollMs;  // a closed port: quick rounds, no waiting
        }
        if (result.size() >= static_cast<std::size_t>(count)) break;
    }
    return result;
}

std::string SerialPort::ReadUntil(char terminator, int idleTimeoutMs) {
    std::string result;
    SerialDevice* device = handle;
    if (device == nullptr) return result;
    if (idleTimeoutMs <= 0) {
        SetSerialReadTimeout(device, kSerialPollMs);
        return result;
    }
    // Before the first byte there is no gap between bytes to time: one read
    // waits the whole idle time-out, so a silent port costs one wake-up per
    // time-out rather than one per 50-ms read. Then 50-ms reads.
    int step = idleTimeoutMs;
    SetSerialReadTimeout(device, step);
    std::int64_t idle = 0;  // time since the last byte
    for (;;) {
        char byte = 0;
        const SerialRead read = ReadSerialByte(device, byte);
        deviceGone = read == SerialRead::Gone;
        if (read == SerialRead::Byte) {
            if (step != kSerialPollMs) {
                step = kSerialPollMs;
                SetSerialReadTimeout(device, step);
            }
            if (byte == terminator) return result;
            result.push_back(byte);
            idle = 0;
            // A device that streams without a terminator must not grow memory.
            if (result.size() >= kMaxSerialMessage) return result;
        } else {
            idle += step;
            if (idle >= idleTimeoutMs) return result;
        }
    }
}

std::string SerialPort::DiscardInput() {
    std::string discarded;
    SerialDevice* device = handle;
    if (device == nullptr) return discarded;
    while (discarded.size() < kMaxSerialMessage) {
        if (SerialInputQueueLength(device) == 0) return discarded;
        SetSerialReadTimeout(device, kDiscardReadMs);
        char byte = 0;
        const SerialRead read = ReadSerialByte(device, byte);
        deviceGone = read == SerialRead::Gone;
        // The queue said there was a byte; when none comes, stop asking.
        if (read != SerialRead::Byte) return discarded;
        discarded += byte;
    }
    return discarded;
}

bool SerialPort::Write(std::string_view bytes) {
    SerialDevice* device = handle;
    if (device == nullptr) return false;
    const SerialWrite write = WriteSerialDevice(device, bytes);
    deviceGone = write == SerialWrite::Gone;
    return write == SerialWrite::Done;
}

bool SerialPort::LockedWrite(std::string_view bytes) {
    std::lock_guard guard(lock);
    return Write(bytes);
}

std::chrono::steady_clock::duration SerialPort::LockedQueuedLineTime() {
    std::lock_guard guard(lock);
    const auto now = std::chrono::steady_clock::now();
    return lineBusyUntil > now ? lineBusyUntil - now : std::chrono::steady_clock::duration::zero();
}

bool SerialPort::LockedWriteAs(const void* writer, std::string_view bytes) {
    std::lock_guard guard(lock);
    SerialDevice* device = handle;
    if (device == nullptr) return false;
    const auto now = std::chrono::steady_clock::now();
    if (writer != lastWriter && lineBusyUntil > now) DiscardSerialOutput(device);
    if (writer != lastWriter || lineBusyUntil < now) lineBusyUntil = now;
    lastWriter = writer;
    lineBusyUntil += characterTime.load() * static_cast<std::int64_t>(bytes.size());
    return Write(bytes);
}

void SerialPort::LockedDiscardOutputOf(const void* writer) {
    std::lock_guard guard(lock);
    if (writer != lastWriter) return;
    if (SerialDevice* device = handle) DiscardSerialOutput(device);
    lastWriter = nullptr;
    lineBusyUntil = {};
}

void SerialPort::SetDtr(bool on) {
    if (SerialDevice* device = handle) SetSerialDtr(device, on);
}

void SerialPort::SetRts(bool on) {
    if (SerialDevice* device = handle) SetSerialRts(device, on);
}

bool SerialPort::IsDsrOn() {
    SerialDevice* device = handle;
    return device != nullptr && IsSerialDsrOn(device);
}

std::uint32_t SerialPort::InputQueueLength() {
    SerialDevice* device = handle;
    return device != nullptr ? SerialInputQueueLength(device) : 0;
}

bool SerialPort::WaitForInput(int timeoutMs) {
    return WaitForSerialInput(handle, timeoutMs);
}

ModemWait SerialPort::WaitForModemChange(ModemWaitCancel* cancel, int milliseconds,
                                         ModemLines& seen) {
    SerialDevice* device = handle;
    if (device == nullptr) return ModemWait::Unsupported;
    return brinmoor::WaitForModemChange(device, cancel, milliseconds, seen);
}

bool SerialPort::IsOpen() const {
    return handle != nullptr;
}

}  // namespace brinmoor
