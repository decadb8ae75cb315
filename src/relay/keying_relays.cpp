#include "relay/keying_relays.h"

#include <thread>

#include "relay/relay_common.h"

namespace brinmoor {
namespace {

void DriveServerLine(Handover<KeyingLine>& serverLine, bool on, std::int32_t group) {
    if (auto line = serverLine.Snapshot()) line->SetLine(on, GroupKeyer(group));
}

}  // namespace

void KeyingRelay(const std::atomic<bool>& running, const ActiveGroup& activeGroup,
                 KeyingLine& groupLine, Handover<KeyingLine>& serverLine, std::int32_t group) {
    bool last = false;  // what this relay last set on the server line
    while (running.load()) {
        try {
            const std::int32_t active = activeGroup.Load();
            if (active == group) {
                const bool state = groupLine.IsDsrOn();
                if (state != last) {
                    DriveServerLine(serverLine, state, group);
                    last = state;
                }
                std::this_thread::sleep_for(kKeyingActivePoll);
            } else {
                if (last) {
                    DriveServerLine(serverLine, false, group);
                    last = false;
                }
                activeGroup.WaitForChange(active, running, kInactiveRelayWait);
            }
        } catch (...) {
            std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
    // A relay that goes away (reconfiguration) must not leave the transmitter
    // keyed with nobody left to release it.
    if (last) {
        try {
            DriveServerLine(serverLine, false, group);
        } catch (...) {
        }
    }
}

}  // namespace brinmoor
