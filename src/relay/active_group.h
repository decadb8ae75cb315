#pragma once
// The active app: the number of the app group that may change and key the
// radio (-1: none, "Default"). Set by the AG command, read by every relay.
// Relays whose group is not active wait here for a change instead of polling,
// so idle groups cost (almost) nothing.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

#include "platform/serial_device.h"
#include "radio/cat_link.h"

namespace brinmoor {

class ActiveGroup {
  public:
    std::int32_t Load() const { return value.load(); }
    // The right to change the radio that the CAT link checks under its lock.
    ChangeRight RightOf(std::int32_t group) const { return ChangeRight{&value, group}; }
    // Sets the active app and wakes every relay waiting for a change.
    void Store(std::int32_t group);

    // Waits until the active app is no longer `seen`, `running` is false (the
    // caller clears it and then calls WakeAll), or the time is up.
    void WaitForChange(std::int32_t seen, const std::atomic<bool>& running,
                       std::chrono::milliseconds timeout) const;
    // Wakes every waiter so that it looks at its running flag.
    void WakeAll() const;

    // Modem-line waits of keying relays end at every change and at WakeAll
    // too: their cancels are fired then (see ActiveGroupCancel).
    void AddCancel(ModemWaitCancel* cancel) const;
    void RemoveCancel(ModemWaitCancel* cancel) const;

  private:
    void FireCancels() const;

    std::atomic<std::int32_t> value{-1};
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    mutable std::mutex cancelsMutex;
    mutable std::set<ModemWaitCancel*> cancels;
};

// A modem-line wait's cancel for the calling thread, fired by every change of
// the active app and by WakeAll while it lives.
class ActiveGroupCancel {
  public:
    explicit ActiveGroupCancel(const ActiveGroup& group);
    ~ActiveGroupCancel();
    ActiveGroupCancel(const ActiveGroupCancel&) = delete;
    ActiveGroupCancel& operator=(const ActiveGroupCancel&) = delete;

    ModemWaitCancel* Handle() const { return cancel; }

  private:
    const ActiveGroup& group;
    ModemWaitCancel* cancel;
};

}  // namespace brinmoor
