#include "relay/fsk_relay.h"

#include <thread>

#include "common/text.h"
#include "relay/fsk_pacing.h"
#include "relay/relay_common.h"

namespace brinmoor {

FskKeying FskKeyingFromFlow(const std::string& flow) {
    const std::string mode = AsciiUpper(flow);
    if (mode == "DTR") return {true, false};
    if (mode == "RTS") return {false, true};
    if (mode == "DTR/RTS") return {true, true};
    return {};
}

namespace {

// What this relay has done to the server's FSK port, so that it can undo it.
struct FskOutput {
    bool dtr = false;
    bool rts = false;

    void Drop(const RelayContext& context) {
        if (!dtr && !rts) return;
        if (auto server = context.fskPort.Snapshot()) {
            if (dtr) server->SetDtr(false);
            if (rts) server->SetRts(false);
        }
        dtr = rts = false;
    }
};

}  // namespace

void FskRelay(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
              std::int32_t group, const std::string& flow) {
    const FskKeying keying = FskKeyingFromFlow(flow);
    FskOutput raised;
    FskData data;
    auto active = [&] { return context.activeGroup.Load() == group; };
    while (running.load()) {
        try {
            const std::int32_t now = context.activeGroup.Load();
            if (now != group) {
                // A group that lost the radio keys nothing and sends nothing more.
                DiscardFskData(context, data);
                raised.Drop(context);
                context.activeGroup.WaitForChange(now, running, kInactiveRelayWait);
                continue;
            }
            // No sleep while active: the read (or the wait for room on the
            // line) itself waits, so DSR is sampled at least every 50 ms.
            ForwardFskData(running, context, port, group, data);
            auto server = context.fskPort.Snapshot();
            // Every line change asks again: AG may have come meanwhile.
            const bool dsr = (keying.dtr || keying.rts) && port.IsDsrOn();
            if (keying.dtr && dsr != raised.dtr && active()) {
                if (server) server->SetDtr(dsr);
                raised.dtr = dsr;
            }
            if (keying.rts && dsr != raised.rts && active()) {
                if (server) server->SetRts(dsr);
                raised.rts = dsr;
            }
        } catch (...) {
            std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
    // Ending (reconfiguration, shutdown) must not leave the transmitter keyed.
    try {
        DiscardFskData(context, data);
        raised.Drop(context);
    } catch (...) {
    }
}

}  // namespace brinmoor
