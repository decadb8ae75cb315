#pragma once
// Simulated serial devices for the unit tests: the serial-device seam
// (platform/serial_device.h) in memory, linked in place of the operating
// system's. The functions below are the test's side of the cable; devices are
// opened by name. Reads wait for real, so the serial layer's time-outs can be
// measured through them. Everything is thread-safe.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/serial_device.h"

namespace brinmoor::sim {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One change of DTR as the program drove it.
struct LineChange {
    Clock::time_point at;
    bool on = false;
};

// Called with each chunk the program writes; returns bytes that the device
// then delivers to the program (empty: no answer). Runs on the writing thread,
// without any lock of the simulation held.
using Responder = std::function<std::string(std::string_view written)>;

// Removes every device (open handles see them gone), or creates a present
// one with nothing queued (replacing one of that name).
void Reset();
void CreateDevice(const std::string& name);

// Bytes the program will read, after the delay, in the order fed. An open
// purges what has arrived by then: feed after the program has opened it.
void Feed(const std::string& name, std::string_view bytes, milliseconds delay = milliseconds(0));
// Bytes fed and not yet read by the program (delayed ones included).
std::size_t Unread(const std::string& name);

// What the program wrote so far: taken away, or left in place.
std::string TakeWritten(const std::string& name);
std::string Written(const std::string& name);
// Waits until what the program wrote (and nobody took yet) contains text.
bool WaitForWritten(const std::string& name, std::string_view text, milliseconds timeout);

// A slow line: while held, what the program writes waits in the device's
// output queue (where a discard of output throws it away) instead of being
// written; letting go writes what waits. Discards counts the discards.
void HoldOutput(const std::string& name, bool held);
std::string QueuedOutput(const std::string& name);
int OutputDiscards(const std::string& name);

void SetResponder(const std::string& name, Responder responder);
// The device's DSR input as the program reads it; each change wakes a
// modem-line wait and counts one edge.
void SetDsr(const std::string& name, bool on);
// A change no wait sees: it came between two waits on a driver that counts
// no edges, so only a later read of the lines finds it.
void SetDsrUnseen(const std::string& name, bool on);
// The device's driver has no modem-line events: every wait is refused.
void RefuseModemWait(const std::string& name);

// Output lines as the program last drove them, every change of DTR, and
// waits until a line reaches the state (false on time-out).
bool Dtr(const std::string& name);
bool Rts(const std::string& name);
std::vector<LineChange> DtrHistory(const std::string& name);
bool WaitForDtr(const std::string& name, bool on, milliseconds timeout);
bool WaitForRts(const std::string& name, bool on, milliseconds timeout);

// Unplugs the device: opens fail; an open handle's reads report it gone after
// their time-out, writes fail, line calls have no effect and DSR reads off.
void Vanish(const std::string& name);
// Plugs it back in: it can be opened again (handles from before stay dead).
void Reappear(const std::string& name);

// Whether the program holds the device open; its opens and closes so far.
bool IsHeld(const std::string& name);
int OpenCount(const std::string& name);
int CloseCount(const std::string& name);
std::optional<SerialDeviceSettings> LastSettings(const std::string& name);

// Polls any condition every 5 ms; false when it did not hold in time.
inline bool WaitUntil(const std::function<bool()>& condition, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

// A small Kenwood-style radio: each ";"-ended command whose text is a key of
// answers is answered with the value and ";". A command with parameters whose
// two-letter code is a key (FA00014074000) is a set command: it replaces that
// key's answer with the command itself (so FA then reports the new frequency)
// and gets no answer. Anything else gets "?;". Commands may arrive in pieces.
Responder KenwoodResponder(std::map<std::string, std::string> answers);

}  // namespace brinmoor::sim
