#include "relay/winkey_relay.h"

#include <string>
#include <thread>

#include "relay/relay_common.h"

namespace brinmoor {

void WinKeyReaders::Add(std::int32_t group) {
    std::lock_guard<std::mutex> guard(mutex);
    groups.insert(group);
}

void WinKeyReaders::Remove(std::int32_t group) {
    std::lock_guard<std::mutex> guard(mutex);
    groups.erase(group);
}

void WinKeyReaders::Clear() {
    std::lock_guard<std::mutex> guard(mutex);
    groups.clear();
}

bool WinKeyReaders::ShouldRead(std::int32_t group, std::int32_t active) const {
    if (group == active) return true;
    std::lock_guard<std::mutex> guard(mutex);
    return groups.count(active) == 0 && !groups.empty() && *groups.begin() == group;
}

void WinKeyFromApp(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
                   std::int32_t group) {
    while (running.load()) {
        try {
            // Waiting without the port's lock lets WinKeyToApp write to the
            // program at once.
            if (!port.WaitForInput(kWinKeyWaitMs)) continue;
            const std::string data = port.ReadCount(QueuedReadCount(port), kWinKeyReadBudgetMs);
            if (data.empty() || context.activeGroup.Load() != group) continue;
            if (auto keyer = context.winkeyPort.Snapshot()) keyer->LockedWrite(data);
        } catch (...) {
            std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
}

void WinKeyToApp(const std::atomic<bool>& running, const RelayContext& context,
                 const WinKeyReaders& readers, SerialPort& port, std::int32_t group) {
    while (running.load()) {
        try {
            auto keyer = context.winkeyPort.Snapshot();
            // A closed port would answer reads at once: wait instead of spinning.
            if (!keyer || !keyer->IsOpen()) {
                std::this_thread::sleep_for(kWinKeyAbsentPoll);
                continue;
            }
            const std::int32_t seen = context.activeGroup.Load();
            if (!readers.ShouldRead(group, seen)) {
                context.activeGroup.WaitForChange(seen, running, kInactiveRelayWait);
                continue;
            }
            // As above: the keyer's lock stays free for the programs' writes.
            if (!keyer->WaitForInput(kWinKeyWaitMs)) continue;
            // The active app may have changed during the wait.
            const std::int32_t active = context.activeGroup.Load();
            if (!readers.ShouldRead(group, active)) continue;
            const std::string data = keyer->ReadCount(QueuedReadCount(*keyer), kWinKeyReadBudgetMs);
            if (!data.empty() && active == group) port.LockedWrite(data);
        } catch (...) {
            std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
}

}  // namespace brinmoor
