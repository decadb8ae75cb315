#pragma once
// The serial-device seam: the few operating-system calls the serial layer
// needs. One implementation per platform (serial_device_posix.cpp,
// serial_device_win32.cpp) and a simulated one linked into the tests. Every
// rule of behaviour (polling, idle budgets, locks, line selection) lives above
// this seam in portable code.
//
// A device is whatever its name names (platform/endpoint.h): a serial port,
// a tcp: endpoint or a pseudo-terminal the server makes. The calls below are
// the same for every kind, so that no caller needs to know which it holds.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/endpoint.h"

namespace brinmoor {

enum class SerialParity { None, Odd, Even, Mark, Space };
enum class SerialStopBits { One, OneAndHalf, Two };

struct SerialDeviceSettings {
    std::uint32_t baud = 38400;
    std::uint8_t dataBits = 8;
    SerialParity parity = SerialParity::None;
    SerialStopBits stopBits = SerialStopBits::One;
};

// An open device; defined by each implementation. Null means "not open".
struct SerialDevice;

// Opens the named port for this process alone, drops DTR and RTS, applies the
// settings with every kind of flow control off, and purges both queues.
// Null when the port is absent, busy or cannot take the settings. A tcp: or
// pty: name opens that endpoint instead (the settings do not apply); a name
// whose endpoint has a problem, or a kind this platform lacks, opens nothing.
SerialDevice* OpenSerialDevice(const std::string& name, const SerialDeviceSettings& settings,
                               const EndpointOptions& options = {});

// Drops DTR and RTS, then closes and frees the device (and removes the link
// of a pseudo-terminal).
void CloseSerialDevice(SerialDevice* device);

// How long ReadSerialByte waits for one byte, in milliseconds.
void SetSerialReadTimeout(SerialDevice* device, int milliseconds);

enum class SerialRead {
    Byte,  // one byte was read
    Idle,  // no byte within the read time-out
    Gone,  // the device has gone away (unplugged, hung up)
};

// Reads one byte, waiting at most the read time-out. Idle and Gone both take
// the whole time-out, so a dead device never makes a caller spin.
SerialRead ReadSerialByte(SerialDevice* device, char& byte);

enum class SerialWrite {
    Done,    // every byte was written
    Failed,  // an error or a short write, the device still there
    Gone,    // the device has gone away (unplugged, hung up)
};

// Writes every byte.
SerialWrite WriteSerialDevice(SerialDevice* device, std::string_view bytes);

// Throws away what was written and is still queued for the line (a slow
// line's backlog); nothing for a tcp: endpoint.
void DiscardSerialOutput(SerialDevice* device);

// Bytes received and not yet read; 0 when unknown.
std::uint32_t SerialInputQueueLength(SerialDevice* device);

// Waits up to the time given for received bytes without reading them, and
// without blocking writes to the device from another thread. True when bytes
// are waiting or the device reports something a read must see (a hang-up, an
// error); false after the time-out. Null waits the whole time.
bool WaitForSerialInput(SerialDevice* device, int milliseconds);

// Modem lines. Where the device cannot carry them (a pseudo-terminal, a tcp:
// endpoint) the outputs have no effect and DSR reads as off.
void SetSerialDtr(SerialDevice* device, bool on);
void SetSerialRts(SerialDevice* device, bool on);
bool IsSerialDsrOn(SerialDevice* device);

// Modem-line waits, for keying inputs. What a waiter last saw of DSR and
// CTS, with the driver's counts of their edges where it keeps them (an edge
// that came and went between two looks still moves a count).
struct ModemLines {
    bool dsr = false;
    bool cts = false;
    std::uint32_t dsrEdges = 0;
    std::uint32_t ctsEdges = 0;
};

// Ends a modem-line wait early. Made by the thread that will wait with it;
// fired from any thread. A fire ends the wait in progress, or the next one
// when none is, and is then spent.
struct ModemWaitCancel;
ModemWaitCancel* CreateModemWaitCancel();
void FireModemWaitCancel(ModemWaitCancel* cancel);
void DestroyModemWaitCancel(ModemWaitCancel* cancel);

enum class ModemWait {
    Changed,      // DSR or CTS differ from what the waiter saw; `seen` holds them now
    TimedOut,     // nothing changed within the time; `seen` holds the lines as read
    Cancelled,    // the cancel was fired
    Unsupported,  // the device has no line events (pseudo-terminal, tcp:, some drivers)
};

// Reads DSR and CTS and, when they are as `seen` holds them, waits until
// either changes, the cancel (never null) fires or `milliseconds` pass; 0
// only reads. A driver watches for the change from the moment its wait
// begins: an edge that falls between two waits is seen only by its count,
// where the driver keeps one, or by the next read. A device that has gone
// away waits the whole time.
ModemWait WaitForModemChange(SerialDevice* device, ModemWaitCancel* cancel, int milliseconds,
                             ModemLines& seen);

}  // namespace brinmoor
