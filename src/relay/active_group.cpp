#include "relay/active_group.h"

namespace brinmoor {

void ActiveGroup::Store(std::int32_t group) {
    {
        // Under the lock: a waiter between its check and its wait cannot miss it.
        std::lock_guard<std::mutex> guard(mutex);
        value.store(group);
    }
    changed.notify_all();
}

void ActiveGroup::WaitForChange(std::int32_t seen, const std::atomic<bool>& running,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(mutex);
    changed.wait_for(guard, timeout, [&] { return value.load() != seen || !running.load(); });
}

void ActiveGroup::WakeAll() const {
    { std::lock_guard<std::mutex> guard(mutex); }
    changed.notify_all();
}

}  // namespace brinmoor
