#include "server/station_file.h"

#include <mutex>
#include <optional>

#include "common/log.h"
#include "common/text.h"
#include "config/saved_config.h"
#include "relay/app_groups.h"
#include "server/control_commands.h"

namespace brinmoor {
void ApplyStationFile(ServerState& state, const std::string& path) {
    const std::string name = EscapeControlBytes(path);
    const std::optional<std::string> text = ReadFileBytes(path);
    if (!text) {
        LogErr("[brinmoor] Could not read station file " + name +
               " \xE2\x80\x94 starting without it.\n");
        return;
    }
    LogOut("[brinmoor] Applying station file " + name + "\n");
    std::lock_guard<std::mutex> config(state.configMutex);
    const std::optional<JsonValue> document = ApplyConfigDocument(state, *text, state.tcpPort);
    if (!document || !JsonHasMember(*document, "active")) return;
    if (const auto group = ActiveGroupOf(*document)) {
        SetActiveGroup(state, *group);
    } else {
        LogErr("[config] Station file: \"active\" is not an app group number; no app made "
               "active\n");
    }
}

}  // namespace brinmoor
