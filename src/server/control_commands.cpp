#include "server/control_commands.h"

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/text.h"
#include "config/json.h"
#include "config/port_settings.h"
#include "radio/port_entry.h"
#include "server/cat_config.h"
#include "server/ext_groups.h"
#include "server/local_ports.h"

namespace brinmoor {

std::string PortsCommand(ServerState& state) {
    std::lock_guard<std::mutex> guard(state.statusMutex);
    return "PORTS" + state.statusReply + ";";
}

namespace {

// Every port entry that the document would open, checked before anything is
// closed: the refusal line of each one refused.
std::vector<std::string> RefusedPortEntries(const JsonValue& document) {
    std::vector<std::string> refusals;
    const auto check = [&refusals](const JsonValue& entry, const std::string& what, PortUse use) {
        if (IsNoPort(JsonText(JsonMember(entry, "port")))) return;
        std::string refusal = PortEntryRefusal(entry, what, use);
        if (!refusal.empty()) refusals.push_back(std::move(refusal));
    };
    if (document.kind != JsonKind::Object) return refusals;
    const JsonValue& ports = JsonMember(document, "ports");
    check(JsonMember(ports, "CAT"), "CAT", PortUse::Radio);
    for (const char* name : {"PTT", "CW", "WinKey", "FSK"}) {
        check(JsonMember(ports, name), name, PortUse::ServerOwn);
    }
    constexpr std::pair<const char*, PortUse> kGroupPorts[] = {{"cat", PortUse::GroupData},
                                                               {"ptt", PortUse::GroupLine},
                                                               {"cw", PortUse::GroupLine},
                                                               {"winkey", PortUse::GroupData},
                                                               {"fsk", PortUse::GroupData}};
    for (const auto& [key, group] : JsonMember(document, "ext_groups").members) {
        for (const auto& [kind, use] : kGroupPorts) {
            check(JsonMember(group, kind), "group " + EscapeControlBytes(key) + " " + kind, use);
        }
    }
    return refusals;
}

}  // namespace

std::optional<JsonValue> ApplyConfigDocument(ServerState& state, std::string_view text,
                                             std::int32_t tcpPort) {
    try {
        JsonValue document = ParseJsonDocument(text);
        // One refused entry leaves every port, relay and group as it was.
        const std::vector<std::string> refusals = RefusedPortEntries(document);
        if (!refusals.empty()) {
            for (const std::string& line : refusals) LogErr(line);
            LogErr("[config] CFG refused: no port was closed or opened\n");
            return std::nullopt;
        }
        // Every CFG that parses replaces the relays whole.
        StopRelays(state);
        if (document.kind == JsonKind::Object && JsonHasMember(document, "ports")) {
            const JsonValue& cat = JsonMember(JsonMember(document, "ports"), "CAT");
            if (!IsNoPort(JsonText(JsonMember(cat, "port")))) {
                ApplyCatConfig(state, cat, tcpPort);
            }
            ApplyLocalPorts(state, document);
        }
        if (document.kind == JsonKind::Object && JsonHasMember(document, "ext_groups")) {
            ApplyExtGroups(state, JsonMember(document, "ext_groups"));
        }
        return document;
    } catch (...) {
        LogOut("[config] Bad CFG JSON\n");
        return std::nullopt;
    }
}

std::string CfgCommand(ServerState& state, std::string_view frame, std::int32_t tcpPort) {
    std::lock_guard<std::mutex> config(state.configMutex);
    // Once QUIT has been given, shutdown closes the ports for good; a CFG
    // still queued must not open them again behind its back.
    if (!state.quit.load()) ApplyConfigDocument(state, frame.substr(3), tcpPort);
    return "CFG_OK;";
}

std::string PwCommand(ServerState& state) {
    const auto monitor = state.powerMonitor.Snapshot();
    if (!monitor) return "PW000;";
    char reply[32];
    std::snprintf(reply, sizeof reply, "PW%d%03d;", monitor->Sampling() ? 2 : 0,
                  static_cast<int>(monitor->Power()));
    return reply;
}

void SetActiveGroup(ServerState& state, std::int32_t group) {
    state.activeGroup.Store(group);
    std::string name;
    {
        std::lock_guard<std::mutex> guard(state.groupsMutex);
        const auto found = state.groupNames.find(group);
        name = found != state.groupNames.end() ? found->second : "Group " + std::to_string(group);
    }
    LogOut("[relay] Active app set to '" + EscapeControlBytes(name) + "' (group " +
           std::to_string(group) + ")\n");
}

std::string AgCommand(ServerState& state, std::string_view frame) {
    SetActiveGroup(state, frame.size() > 2 ? ParseLeadingInt(frame.substr(2)).value_or(-1) : -1);
    return "AG_OK;";
}

namespace {

void DriveLine(const Handover<KeyingLine>& line, std::string_view frame, std::uint64_t client) {
    if (const auto snapshot = line.Snapshot()) snapshot->SetLine(frame[2] != '0', client);
}

struct ServerLine {
    Handover<KeyingLine> ServerState::*line;
    const char* name;
    const char* release;  // the command that would have released it
};
constexpr ServerLine kServerLines[] = {{&ServerState::pttLine, "PTT", "PT0"},
                                       {&ServerState::cwLine, "CW key", "CK0"}};

}  // namespace

void PtCommand(ServerState& state, std::string_view frame, std::uint64_t client) {
    DriveLine(state.pttLine, frame, client);
}

void CkCommand(ServerState& state, std::string_view frame, std::uint64_t client) {
    DriveLine(state.cwLine, frame, client);
}

void ReleaseClientKeying(ServerState& state, std::uint64_t client) {
    for (const ServerLine& entry : kServerLines) {
        const auto line = (state.*entry.line).Snapshot();
        if (line && line->ReleaseIfRaisedBy(client)) {
            LogOut(std::string("[brinmoor] ") + entry.name +
                   " released: its client disconnected without " + entry.release + ".\n");
        }
    }
}

void ReleaseOverdueKeying(ServerState& state) {
    if (state.txTimeout.count() <= 0) return;
    for (const ServerLine& entry : kServerLines) {
        const auto line = (state.*entry.line).Snapshot();
        if (line && line->ReleaseIfRaisedFor(state.txTimeout)) {
            LogOut(std::string("[brinmoor] ") + entry.name + " released: keyed longer than " +
                   std::to_string(state.txTimeout.count()) + " s (--tx-timeout).\n");
        }
    }
}

}  // namespace brinmoor
