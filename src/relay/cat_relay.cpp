#include "relay/cat_relay.h"

#include <string>
#include <thread>

#include "common/text.h"
#include "relay/auto_information.h"
#include "relay/relay_common.h"

namespace brinmoor {

void CatRelay(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
              const CatRelayGroup& group) {
    GroupActivity& activity = *group.activity;
    AutoInformation autoInformation(context.catLink.State(), activity, group.reports);
    while (running.load()) {
        try {
            // A command cut short by silence is handled as it stands; its late
            // ";" then arrives as an empty command and is passed over.
            const std::string command =
                AsciiUpper(ReadCommandBetweenReports(port, autoInformation));
            if (command.empty()) continue;
            activity.NoteCommand();
            // The program's own AI never reaches the radio.
            if (const auto reply = autoInformation.Handle(command)) {
                if (!reply->empty()) port.Write(*reply);
                continue;
            }
            // The link decides whether it is a read, in the dialect of the
            // moment it writes it, and asks the right again at the write.
            const CatReply reply = AskSharingRounds(context.catLink, group.poller, command,
                                                    context.activeGroup.RightOf(group.number));
            if (reply.refused) {
                activity.refusedWhileInactive.fetch_add(1);
                continue;
            }
            activity.commandsRelayed.fetch_add(1);
            // A program waiting for an answer always gets one.
            if (reply.read) {
                port.Write(reply.answer.empty() ? std::string("?;") : reply.answer + ";");
                if (reply.shared) activity.answersShared.fetch_add(1);
            }
        } catch (...) {
            if (running.load()) std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
}

}  // namespace brinmoor
