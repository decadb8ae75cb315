#include "relay/cat_relay.h"

#include <string>
#include <thread>

#include "common/text.h"
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
            // The link decides whether it is a read, in the dialect of the
            // moment it writes it, and asks the right again at the write.
            const CatReply reply =
                context.catLink.CatTransaction(command, context.activeGroup.RightOf(group));
            // A program waiting for an answer always gets one.
            if (reply.read) {
                port.Write(reply.answer.empty() ? std::string("?;") : reply.answer + ";");
            }
        } catch (...) {
            if (running.load()) std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
}

}  // namespace brinmoor
