#include "relay/cat_relay.h"

#include <string>
#include <thread>

#include "common/text.h"
#include "radio/cat_query.h"
#include "relay/relay_common.h"

namespace brinmoor {

void CatRelay(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
              std::int32_t group) {
    while (running.load()) {
        try {
            // A command cut short by silence is handled as it stands; its late
            // ";" then arrives as an empty command and is passed over.
            const std::string command = AsciiUpper(port.ReadUntil(';', kCatRelayIdleMs));
            if (command.empty()) continue;
            if (IsCatQuery(command)) {
                // A program waiting for an answer always gets one.
                const std::string reply = context.catLink.CatTransaction(command);
                port.Write(reply.empty() ? std::string("?;") : reply + ";");
            } else if (context.activeGroup.Load() == group) {
                context.catLink.CatTransaction(command);
            }
        } catch (...) {
            if (running.load()) std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
}

}  // namespace brinmoor
