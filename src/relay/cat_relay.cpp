#include "relay/cat_relay.h"

#include <string>
#include <thread>

#include "common/text.h"
#include "radio/cat_query.h"
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
            // The link asks the right again once it holds its lock, and
            // classifies afresh: the radio may identify itself meanwhile.
            const ChangeRight right = context.activeGroup.RightOf(group.number);
            if (IsCatQuery(command, context.catLink.Dialect())) {
                // A program waiting for an answer always gets one.
                bool shared = false;
                const std::string reply =
                    AskSharingRounds(context.catLink, group.poller, command, right, shared);
                port.Write(reply.empty() ? std::string("?;") : reply + ";");
                activity.commandsRelayed.fetch_add(1);
                if (shared) activity.answersShared.fetch_add(1);
            } else if (right.Holds()) {
                context.catLink.CatTransaction(command, right);
                activity.commandsRelayed.fetch_add(1);
            } else {
                activity.refusedWhileInactive.fetch_add(1);
            }
        } catch (...) {
            if (running.load()) std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
}

}  // namespace brinmoor
