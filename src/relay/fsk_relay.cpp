#include "relay/fsk_relay.h"

#include <thread>
#include <utility>

#include "common/text.h"
#include "relay/fsk_pacing.h"
#include "relay/keying_input.h"
#include "relay/relay_common.h"

namespace brinmoor {

FskKeying FskKeyingFromFlow(const std::string& flow) {
    const std::string mode = AsciiUpper(flow);
    if (mode == "DTR") return {true, false};
    if (mode == "RTS") return {false, true};
    if (mode == "DTR/RTS") return {true, true};
    return {};
}

void FskRelay(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
              std::int32_t group) {
    FskData data;
    while (running.load()) {
        try {
            const std::int32_t now = context.activeGroup.Load();
            if (now != group) {
                // A group that lost the radio sends nothing more.
                DiscardFskData(context, data);
                context.activeGroup.WaitForChange(now, running, kInactiveRelayWait);
                continue;
            }
            // No sleep while active: the read (or the wait for room on the
            // line) itself waits.
            ForwardFskData(running, context, port, group, data);
        } catch (...) {
            std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
    // Ending (reconfiguration, shutdown) leaves nothing queued for the line.
    try {
        DiscardFskData(context, data);
    } catch (...) {
    }
}

// --- the keying input ---

void FskKeyingRelay(const std::atomic<bool>& running, const RelayContext& context,
                    SerialPort& port, const std::string& portName, std::int32_t group,
                    const std::string& flow, std::atomic<bool>& keyed) {
    const FskKeying keying = FskKeyingFromFlow(flow);
    bool told = false;
    const KeyingInput input{
        [&](ModemWaitCancel* cancel, int milliseconds, ModemLines& seen) {
            return port.WaitForModemChange(cancel, milliseconds, seen);
        },
        [&] { return port.IsDsrOn(); },
        [&] { return !std::exchange(told, true); },
        [&] { return portName; },
        kFskKeyingPoll,
    };
    FollowKeyingInput(running, context.activeGroup, group, input, [&](bool on) {
        if (auto server = context.fskPort.Snapshot()) {
            if (keying.dtr) server->SetDtr(on);
            if (keying.rts) server->SetRts(on);
        }
        keyed.store(on);
    });
}

}  // namespace brinmoor
