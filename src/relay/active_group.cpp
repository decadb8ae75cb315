#include "relay/active_group.h"

namespace brinmoor {

void ActiveGroup::Store(std::int32_t group) {
    {
        // Under the lock: a waiter between its check and its wait cannot miss it.
        std::lock_guard<std::mutex> guard(mutex);
        value.store(group);
    }
    changed.notify_all();
    FireCancels();
}

void ActiveGroup::WaitForChange(std::int32_t seen, const std::atomic<bool>& running,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(mutex);
    changed.wait_for(guard, timeout, [&] { return value.load() != seen || !running.load(); });
}

void ActiveGroup::WakeAll() const {
    { std::lock_guard<std::mutex> guard(mutex); }
    changed.notify_all();
    FireCancels();
}

void ActiveGroup::AddCancel(ModemWaitCancel* cancel) const {
    std::lock_guard<std::mutex> guard(cancelsMutex);
    cancels.insert(cancel);
}

void ActiveGroup::RemoveCancel(ModemWaitCancel* cancel) const {
    std::lock_guard<std::mutex> guard(cancelsMutex);
    cancels.erase(cancel);
}

void ActiveGroup::FireCancels() const {
    std::lock_guard<std::mutex> guard(cancelsMutex);
    for (ModemWaitCancel* cancel : cancels) FireModemWaitCancel(cancel);
}

ActiveGroupCancel::ActiveGroupCancel(const ActiveGroup& watched)
    : group(watched), cancel(CreateModemWaitCancel()) {
    group.AddCancel(cancel);
}

ActiveGroupCancel::~ActiveGroupCancel() {
    group.RemoveCancel(cancel);
    DestroyModemWaitCancel(cancel);
}

}  // namespace brinmoor
