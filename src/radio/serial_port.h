#pragma once
// One serial port with synchronous byte-at-a-time I/O, polled in 50-ms reads.
// The Locked operations take the port's own lock for their whole duration;
// the others rely on their caller (a relay thread that alone uses its port, or
// the CAT link under its own lock). Failures are results: false, an empty
// string, no effect.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/serial_device.h"

namespace brinmoor {

inline constexpr int kSerialPollMs = 50;                // one single-byte read
inline constexpr std::size_t kMaxSerialMessage = 4096;  // ReadUntil stops collecting here

// The device settings for one port's open parameters: data bits by their low
// byte, the parity letter in either case (unknown: none), stop bits by the
// thresholds 1.4 and 1.9.
SerialDeviceSettings MakeSerialSettings(std::uint32_t baud, std::uint32_t dataBits, char parity,
                                        float stopBits);

class SerialPort {
  public:
    SerialPort() = default;
    ~SerialPort();  // closes the port if a holder forgot to
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Closes the port first if open; a failed open leaves it closed. The
    // options matter only to tcp: and pty: names (platform/endpoint.h).
    bool Open(const std::string& name, std::uint32_t baud, std::uint32_t dataBits, char parity,
              float stopBits, const EndpointOptions& options = {});
    bool LockedOpen(const std::string& name, std::uint32_t baud, std::uint32_t dataBits,
                    char parity, float stopBits, const EndpointOptions& options = {});
    void Close();  // drops DTR and RTS, then closes
    void LockedClose();

    // Up to count bytes; stops once the empty 50-ms reads of this call add up
    // to budgetMs (the idle total is never reset).
    std::string ReadCount(int count, int budgetMs);
    // Bytes up to the terminator (not included); gives up after idleTimeoutMs
    // without a byte (the first byte is awaited in one read, later ones in
    // 50-ms reads), or once kMaxSerialMessage bytes are collected.
    std::string ReadUntil(char terminator, int idleTimeoutMs);
    // Reads and throws away what the device has already received, in 10-ms
    // reads; at most kMaxSerialMessage bytes per call, so a device that keeps
    // streaming cannot hold the caller. Returns what it threw away.
    std::string DiscardInput();

    bool Write(std::string_view bytes);
    bool LockedWrite(std::string_view bytes);

    // Paced writing for a slow line (the FSK port), shared by the writers of
    // every group. The port counts how long what was written stays queued
    // for the line at its settings (not asking the driver). A writer names
    // itself: output another writer left queued is thrown away before its
    // own bytes go out, and a writer can throw away its own.
    std::chrono::microseconds CharacterTime() const { return characterTime.load(); }
    std::chrono::steady_clock::duration LockedQueuedLineTime();
    bool LockedWriteAs(const void* writer, std::string_view bytes);
    void LockedDiscardOutputOf(const void* writer);

    void SetDtr(bool on);
    void SetRts(bool on);
    bool IsDsrOn();
    std::uint32_t InputQueueLength();
    // Waits up to timeoutMs for received bytes without taking the port's
    // lock, so an idle wait never holds up another thread's write. True when
    // bytes wait (or a read would find the device gone); a closed port waits
    // the whole time and gives false.
    bool WaitForInput(int timeoutMs);
    bool IsOpen() const;
    // WaitForModemChange on the port, without its lock (a keying input read
    // beside the data); Unsupported on a closed port.
    ModemWait WaitForModemChange(ModemWaitCancel* cancel, int milliseconds, ModemLines& seen);

    // Set when the last read or write found the device gone (unplugged, hung up).
    bool DeviceGone() const { return deviceGone; }

  private:
    // Atomic so that IsOpen and DeviceGone may be asked from any thread.
    std::atomic<SerialDevice*> handle{nullptr};
    std::atomic<bool> deviceGone{false};
    std::atomic<std::chrono::microseconds> characterTime{std::chrono::microseconds(0)};
    // Paced writing, under lock: who wrote last, and when the line is done with it.
    const void* lastWriter = nullptr;
    std::chrono::steady_clock::time_point lineBusyUntil;
    std::mutex lock;
};

}  // namespace brinmoor
