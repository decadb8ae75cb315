#include "server/ext_groups.h"

#include <memory>
#include <mutex>

#include "common/log.h"
#include "relay/app_groups.h"
#include "relay/relay_manager.h"

namespace brinmoor {

void StopRelays(ServerState& state) {
    if (const auto relays = state.relays.Take()) relays->Stop();
}

void ApplyExtGroups(ServerState& state, const JsonValue& document) {
    StopRelays(state);

    AppGroupTable table;
    {
        // A bad member key throws out of here with the names read so far kept.
        std::lock_guard<std::mutex> guard(state.groupsMutex);
        state.groupNames.clear();
        state.groupNames.emplace(-1, "Default");
        ReadExtGroups(document, state.groupNames, table);
    }

    if (table.empty()) {
        LogOut("[relay] No external app ports configured\n");
        return;
    }
    // The allow list outlives the manager: both live in the state, the list fixed.
    auto admits = [&allow = state.allow](std::uint32_t peer) { return IsAllowed(allow, peer); };
    auto relays = std::make_shared<RelayManager>(RelayContext{state.catLink, state.activeGroup,
                                                              state.pttLine, state.cwLine,
                                                              state.winkeyPort, state.fskPort,
                                                              admits});
    // Published before it starts, so a Start that throws half-way still
    // leaves its threads to the next CFG or to shutdown to stop.
    state.relays.Replace(relays);
    relays->Start(table);
}

}  // namespace brinmoor
