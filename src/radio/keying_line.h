#pragma once
// One keying line (DTR or RTS) on a port of its own, or on the port of
// another line that owns one (PTT and CW on one cable). A sharer holds its
// owner alive, so a line is never driven on a destroyed port. When a sharer
// and its owner key the same line (both DTR), the line is up while either
// holds it up, and drops only when neither does.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_device.h"

namespace brinmoor {

// How a line stands, for the server's status.
struct KeyingLineState {
    bool open = false;
    bool raised = false;
    std::uint64_t raisedBy = 0;  // as SetLine was told; 0: anyone else
    std::chrono::steady_clock::time_point raisedAt;
    bool timedOut = false;  // the last drop was ReleaseIfRaisedFor's
};

class KeyingLine {
  public:
    KeyingLine() = default;
    ~KeyingLine();  // closes its own port if a holder forgot to
    KeyingLine(const KeyingLine&) = delete;
    KeyingLine& operator=(const KeyingLine&) = delete;

    // Opens a port of its own; lineName "RTS" (any case) drives RTS, any
    // other text DTR.
    bool OpenOwn(const std::string& name, std::uint32_t baud, std::uint32_t dataBits, char parity,
                 float stopBits, std::string_view lineName);
    // Drives a line of the owner's port; pass a line that owns its port. A
    // port of this line's own still open is closed first.
    void ShareWith(std::shared_ptr<KeyingLine> owner, std::string_view lineName);

    // `by` names who drives the line (a client; 0: anyone else), so that
    // whoever raised it last can be told apart.
    void SetLine(bool on, std::uint64_t by = 0);
    // Drops the line if `by` (not 0) raised it last and it is still raised.
    bool ReleaseIfRaisedBy(std::uint64_t by);
    // Drops the line if it has been raised without a break for at least `limit`.
    bool ReleaseIfRaisedFor(std::chrono::steady_clock::duration limit);
    // DSR of the effective port (its own, or the owner's); false when none.
    bool IsDsrOn();
    // Whether the effective port is open.
    bool IsOpen();
    // An owner drops DTR and RTS and closes its port; a sharer lets go of its
    // owner and leaves the owner's port as it is.
    void Close();

    KeyingLineState State();

    bool Owns();
    // The owner this line shares, or null.
    std::shared_ptr<KeyingLine> Shared();

    // The keying input (DSR of the effective port), for the relays. The wait
    // is WaitForModemChange on that port, without this line's lock, so the
    // port must stay open while it waits (the relay manager closes ports only
    // after joining its relays); Unsupported when no port is open.
    ModemWait WaitForInputChange(ModemWaitCancel* cancel, int milliseconds, ModemLines& seen);
    // The effective port's name, as opened.
    std::string PortName();
    // True once per port (a sharer asks its owner): the first to tell that
    // the port has no line events tells it.
    bool FirstToTellNoLineEvents();

  private:
    // What a sharer asks of its owner: each takes the owner's lock and acts
    // on the owner's own port only, so an owner closing at the same moment
    // never has its handle used after close.
    void DriveOwn(const KeyingLine* by, const std::string& lineName, bool on);
    void DriveOwnLocked(const KeyingLine* by, const std::string& lineName, bool on);
    void ForgetHolder(const KeyingLine* sharer);
    bool OwnDsr();
    bool OwnOpen();
    SerialDevice* OwnDevice();
    void CloseOwnLocked();  // with lock held
    void DriveLocked(bool on, std::uint64_t by);

    SerialDevice* handle = nullptr;
    std::shared_ptr<KeyingLine> shared;
    bool owns = true;
    std::string line = "DTR";
    std::string portName;      // of a port of its own
    bool toldNoLineEvents = false;
    // An owner's lines, and which lines (itself, its sharers) hold each up.
    std::vector<const KeyingLine*> dtrHolders;
    std::vector<const KeyingLine*> rtsHolders;
    bool raised = false;  // as this line last drove it
    std::uint64_t raisedBy = 0;
    std::chrono::steady_clock::time_point raisedAt;
    bool timedOut = false;
    std::mutex lock;
};

}  // namespace brinmoor
