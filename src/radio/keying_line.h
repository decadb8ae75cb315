#pragma once
// One keying line (DTR or RTS) on a port of its own, or on the port of
// another line that owns one (PTT and CW on one cable). A sharer holds its
// owner alive, so a line is never driven on a destroyed port.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

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

  private:
    // What a sharer asks of its owner: each takes the owner's lock and acts
    // on the owner's own port only, so an owner closing at the same moment
    // never has its handle used after close.
    void DriveOwn(const std::string& lineName, bool on);
    bool OwnDsr();
    bool OwnOpen();
    void CloseOwnLocked();  // with lock held
    void DriveLocked(bool on, std::uint64_t by);

    SerialDevice* handle = nullptr;
    std::shared_ptr<KeyingLine> shared;
    bool owns = true;
    std::string line = "DTR";
    bool raised = false;  // as this line last drove it
    std::uint64_t raisedBy = 0;
    std::chrono::steady_clock::time_point raisedAt;
    bool timedOut = false;
    std::mutex lock;
};

}  // namespace brinmoor
