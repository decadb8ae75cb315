#include "relay/keying_relays.h"

#include "relay/keying_input.h"

namespace brinmoor {

void KeyingRelay(const std::atomic<bool>& running, const ActiveGroup& activeGroup,
                 KeyingLine& groupLine, Handover<KeyingLine>& serverLine, std::int32_t group) {
    const KeyingInput input{
        [&](ModemWaitCancel* cancel, int milliseconds, ModemLines& seen) {
            return groupLine.WaitForInputChange(cancel, milliseconds, seen);
        },
        [&] { return groupLine.IsDsrOn(); },
        [&] { return groupLine.FirstToTellNoLineEvents(); },
        [&] { return groupLine.PortName(); },
    };
    FollowKeyingInput(running, activeGroup, group, input, [&](bool on) {
        if (auto line = serverLine.Snapshot()) line->SetLine(on, GroupKeyer(group));
    });
}

}  // namespace brinmoor
