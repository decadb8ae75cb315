#include "relay/fsk_relay.h"

#include <thread>

#include "common/text.h"
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
              std::int32_t group, const std::string& flow, std::atomic<bool>& keyed) {
    const FskKeying keying = FskKeyingFromFlow(flow);
    FskOutput raised;
    std::string held;  // read while active, but the group lost the radio before it went out
    auto active = [&] { return context.activeGroup.Load() == group; };
    while (running.load()) {
        try {
            const std::int32_t now = context.activeGroup.Load();
            if (now != group) {
                raised.Drop(context);  // a group that lost the radio keys nothing
                keyed.store(false);
                context.activeGroup.WaitForChange(now, running, kInactiveRelayWait);
                continue;
            }
            // No sleep while active: the read itself waits when the program is
            // silent, so DSR is sampled at least every 50 ms.
            std::string data = port.ReadCount(QueuedReadCount(port), kFskReadBudgetMs);
            auto server = context.fskPort.Snapshot();
            // Every write and line change asks again: AG may have come meanwhile.
            if (!data.empty() || !held.empty()) {
                if (!active()) {
                    if (held.size() < kMaxSerialMessage) held += data;
                    continue;
                }
                if (server) server->LockedWrite(held + data);
                held.clear();
            }
            const bool dsr = (keying.dtr || keying.rts) && port.IsDsrOn();
            if (keying.dtr && dsr != raised.dtr && active()) {
                if (server) server->SetDtr(dsr);
                raised.dtr = dsr;
            }
            if (keying.rts && dsr != raised.rts && active()) {
                if (server) server->SetRts(dsr);
                raised.rts = dsr;
            }
            keyed.store(raised.dtr || raised.rts);
        } catch (...) {
            std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
    // Ending (reconfiguration, shutdown) must not leave the transmitter keyed.
    try {
        raised.Drop(context);
        keyed.store(false);
    } catch (...) {
    }
}

}  // namespace brinmoor
