#include "relay/keying_input.h"

#include <string>
#include <thread>

#include "common/log.h"
#include "platform/threads.h"
#include "relay/relay_common.h"

namespace brinmoor {

void FollowKeyingInput(const std::atomic<bool>& running, const ActiveGroup& activeGroup,
                       std::int32_t group, const KeyingInput& input,
                       const std::function<void(bool)>& drive) {
    RaiseThreadPriority();  // best effort: without it the relay only reacts later
    const ActiveGroupCancel cancel(activeGroup);
    bool last = false;       // what this relay last set on the server's line
    bool polling = false;    // the port has no line events
    bool following = false;  // seen holds the lines since the group became active
    ModemLines seen;
    const auto follow = [&](bool state) {
        if (state == last) return;
        drive(state);
        last = state;
    };
    // An element shorter than the relay's way to the line (a dit while the
    // machine was busy) came and went before the read: the driver's count
    // tells, and the element is passed on, if only as a short one.
    const auto followPulse = [&](std::uint32_t edgesBefore) {
        const std::uint32_t edges = seen.dsrEdges - edgesBefore;
        if (edges < 2 || seen.dsr != last) return;
        follow(!last);
        follow(!last);
    };
    while (running.load()) {
        try {
            const std::int32_t active = activeGroup.Load();
            if (active != group) {
                following = false;
                follow(false);  // a group that lost the radio keys nothing
                activeGroup.WaitForChange(active, running, kInactiveRelayWait);
                continue;
            }
            if (polling) {
                follow(input.isDsrOn());
                std::this_thread::sleep_for(input.poll);
                continue;
            }
            // First a read, then waits bounded by the reads a lost edge needs.
            const int time = !following ? 0 : last ? kKeyedLineReadMs : kIdleLineReadMs;
            const std::uint32_t edgesBefore = seen.dsrEdges;
            const ModemWait result = input.wait(cancel.Handle(), time, seen);
            if (result == ModemWait::Unsupported) {
                polling = true;
                if (input.firstToTell()) {
                    LogOut("[relay] " + input.portName() + ": no modem-line events; polling every " +
                           std::to_string(input.poll.count()) + " ms\n");
                }
                continue;
            }
            if (result == ModemWait::Cancelled) {
                following = false;  // AG or Stop: look again, and read the lines afresh
                continue;
            }
            following = true;
            // Set from this thread, the one the change woke; AG may have come meanwhile.
            if (activeGroup.Load() != group) continue;
            if (time > 0) followPulse(edgesBefore);
            follow(seen.dsr);
        } catch (...) {
            std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
    // A relay that goes away (reconfiguration) must not leave the transmitter
    // keyed with nobody left to release it.
    try {
        follow(false);
    } catch (...) {
    }
}

}  // namespace brinmoor
