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

void FskRelay(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
              std::int32_t group, const std::string& flow) {
    const FskKeying keying = FskKeyingFromFlow(flow);
    bool lastDtr = false;
    bool lastRts = false;
    while (running.load()) {
        try {
            const std::int32_t active = context.activeGroup.Load();
            if (active != group) {
                context.activeGroup.WaitForChange(active, running, kInactiveRelayWait);
                continue;
            }
            // No sleep while active: the read itself waits when the program is
            // silent, so DSR is sampled at least every 50 ms.
            const std::string data = port.ReadCount(QueuedReadCount(port), kFskReadBudgetMs);
            auto server = context.fskPort.Snapshot();
            if (!data.empty() && server) server->LockedWrite(data);
            if (keying.dtr) {
                const bool state = port.IsDsrOn();
                if (state != lastDtr) {
                    if (server) server->SetDtr(state);
                    lastDtr = state;
                }
            }
            if (keying.rts) {
                const bool state = port.IsDsrOn();
                if (state != lastRts) {
                    if (server) server->SetRts(state);
                    lastRts = state;
                }
            }
        } catch (...) {
            std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
}

}  // namespace brinmoor
