#include "server/status_document.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/peer_address.h"
#include "config/json.h"
#include "platform/endpoint.h"
#include "relay/keying_relays.h"
#include "relay/relay_manager.h"

namespace brinmoor {
namespace {

using Clock = std::chrono::steady_clock;

// A JSON string whose ";" is written as an escape: the frame ends at none.
std::string Text(std::string_view text) {
    std::string escaped;
    for (char c : JsonEscape(text)) {
        if (c == ';') {
            escaped += "\\u003b";
        } else {
            escaped += c;
        }
    }
    return "\"" + escaped + "\"";
}

std::string Since(Clock::time_point at, Clock::time_point now) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - at).count();
    return std::to_string(ms < 0 ? 0 : ms);
}

template <typename T>
std::string OrNull(const std::optional<T>& value, std::string (*format)(const T&)) {
    return value ? format(*value) : "null";
}

std::string Number(const std::uint64_t& value) {
    return std::to_string(value);
}
std::string Flag(const bool& value) {
    return value ? "true" : "false";
}

std::string_view LinkName(RadioLinkState link) {
    switch (link) {
        case RadioLinkState::Open:
            return "open";
        case RadioLinkState::Lost:
            return "lost";
        case RadioLinkState::Closed:
            break;
    }
    return "closed";
}

std::string_view DialectName(RadioDialect dialect) {
    if (dialect == RadioDialect::FourDigit) return "four_digit";
    return IsThreeDigit(dialect) ? "three_digit" : "unknown";
}

std::string RadioPart(ServerState& state, Clock::time_point now) {
    const RadioSnapshot radio = state.catLink.State().Snapshot();
    std::string json = "{\"port\":" + (radio.port.empty() ? "null" : Text(radio.port));
    json += ",\"link\":\"" + std::string(LinkName(radio.link)) + "\"";
    json += ",\"lost_ms\":" +
            (radio.link == RadioLinkState::Lost ? Since(radio.lostSince, now) : "null");
    json += ",\"id\":" + (radio.id.empty() ? "null" : Text(radio.id));
    json += ",\"dialect\":\"" + std::string(DialectName(radio.dialect)) + "\"";
    json += ",\"vfo_a_hz\":" + OrNull(radio.vfoA, Number);
    json += ",\"vfo_b_hz\":" + OrNull(radio.vfoB, Number);
    json += ",\"mode\":" + (radio.mode.empty() ? "null" : Text(radio.mode));
    json += ",\"transmitting\":" + OrNull(radio.transmitting, Flag);
    json += ",\"last_answer_ms\":" + (radio.lastHeard ? Since(*radio.lastHeard, now) : "null");
    return json + "}";
}

std::string_view KindName(RelayKind kind) {
    constexpr std::string_view kNames[] = {"cat", "ptt", "cw", "winkey", "fsk"};
    return kNames[static_cast<int>(kind)];
}

std::string PortPart(const RelayPortView& port) {
    const EndpointName endpoint = ParseEndpointName(port.name);
    std::string json = "{\"port\":" + Text(port.name);
    json += ",\"kind\":\"";
    json += endpoint.kind == EndpointKind::Tcp   ? "tcp"
            : endpoint.kind == EndpointKind::Pty ? "pty"
                                                 : "serial";
    json += "\",\"open\":" + Flag(port.open);
    if (endpoint.kind == EndpointKind::Tcp) {
        json += ",\"peer\":" + (port.peer ? Text(FormatIpv4(*port.peer)) : "null");
    }
    if (endpoint.kind == EndpointKind::Pty) {
        json += ",\"pty_link\":" + (port.open ? Text(endpoint.path) : "null");
    }
    if (port.kind == RelayKind::Ptt || port.kind == RelayKind::Cw) {
        json += ",\"keyed\":" + Flag(port.keyed.value_or(false));
    }
    return json + "}";
}

std::string GroupName(ServerState& state, std::int32_t number) {
    std::lock_guard<std::mutex> guard(state.groupsMutex);
    const auto found = state.groupNames.find(number);
    return found != state.groupNames.end() ? found->second : "Group " + std::to_string(number);
}

std::string GroupPart(ServerState& state, const GroupView& group, std::int32_t active,
                      Clock::time_point now) {
    std::string json = "{\"name\":" + Text(GroupName(state, group.number));
    json += ",\"active\":" + Flag(group.number == active);
    json += ",\"ports\":{";
    for (std::size_t i = 0; i < group.ports.size(); ++i) {
        if (i > 0) json += ",";
        json += "\"" + std::string(KindName(group.ports[i].kind)) + "\":" + PortPart(group.ports[i]);
    }
    json += "}";
    const GroupActivity empty;
    const GroupActivity& activity = group.activity ? *group.activity : empty;
    json += ",\"commands_relayed\":" + Number(activity.commandsRelayed.load());
    json += ",\"refused_while_inactive\":" + Number(activity.refusedWhileInactive.load());
    json += ",\"answers_shared\":" + Number(activity.answersShared.load());
    const auto last = activity.LastCommand();
    json += ",\"last_command_ms\":" + (last ? Since(*last, now) : "null");
    json += ",\"auto_information\":" + std::string(1, activity.autoInformation.load());
    json += ",\"reports\":" + Flag(group.reports);
    return json + "}";
}

// Who keys a server line: a client by PT or CK, or a group's relay.
std::string Holder(const KeyingLineState& line, std::string_view relay) {
    if (!line.raised) return "null";
    if (line.raisedBy >= kGroupKeyerBase) {
        const auto group = static_cast<std::int32_t>(line.raisedBy & 0xFFFFFFFFu);
        return "\"group " + std::to_string(group) + " " + std::string(relay) + " relay\"";
    }
    if (line.raisedBy == 0) return "null";
    return "\"client " + std::to_string(line.raisedBy) + "\"";
}

std::string ServerLinePart(const Handover<KeyingLine>& holder, std::string_view relay,
                           Clock::time_point now) {
    const auto line = holder.Snapshot();
    const KeyingLineState state = line ? line->State() : KeyingLineState{};
    std::string json = "{\"open\":" + Flag(state.open) + ",\"keyed\":" + Flag(state.raised);
    json += ",\"holder\":" + Holder(state, relay);
    json += ",\"keyed_ms\":" + (state.raised ? Since(state.raisedAt, now) : "null");
    json += ",\"released_by\":" + std::string(state.timedOut ? "\"--tx-timeout\"" : "null");
    return json + "}";
}

std::string LinesPart(ServerState& state, const std::vector<GroupView>& groups,
                      Clock::time_point now) {
    std::string json = "{\"ptt\":" + ServerLinePart(state.pttLine, "PTT", now);
    json += ",\"cw\":" + ServerLinePart(state.cwLine, "CW", now);
    const auto fskPort = state.fskPort.Snapshot();
    std::string fskHolder = "null";
    for (const GroupView& group : groups) {
        if (group.activity && group.activity->fskKeyed.load()) {
            fskHolder = "\"group " + std::to_string(group.number) + " FSK relay\"";
        }
    }
    json += ",\"fsk\":{\"open\":" + Flag(fskPort && fskPort->IsOpen()) +
            ",\"keyed\":" + Flag(fskHolder != "null") + ",\"holder\":" + fskHolder + "}";
    for (const GroupView& group : groups) {
        for (const RelayPortView& port : group.ports) {
            if (port.kind != RelayKind::Ptt && port.kind != RelayKind::Cw) continue;
            json += ",\"group_" + std::to_string(group.number) + "_" +
                    std::string(KindName(port.kind)) + "\":{\"open\":" + Flag(port.open) +
                    ",\"keyed\":" + Flag(port.keyed.value_or(false)) + "}";
        }
    }
    return json + "}";
}

}  // namespace

std::string BuildStatusDocument(ServerState& state) {
    const Clock::time_point now = Clock::now();
    const std::int32_t active = state.activeGroup.Load();
    std::vector<GroupView> groups;
    if (const auto relays = state.relays.Snapshot()) groups = relays->View();

    std::string json = "{\"radio\":" + RadioPart(state, now);
    json += ",\"active_group\":{\"number\":" + std::to_string(active) +
            ",\"name\":" + Text(GroupName(state, active)) + "}";
    json += ",\"groups\":{";
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i > 0) json += ",";
        json += "\"" + std::to_string(groups[i].number) + "\":" +
                GroupPart(state, groups[i], active, now);
    }
    json += "},\"lines\":" + LinesPart(state, groups, now);
    const CatTraffic traffic = state.catLink.Traffic();
    json += ",\"server\":{\"tcp_port\":" + std::to_string(state.tcpPort) +
            ",\"commands_written\":" + Number(traffic.commandsWritten) +
            ",\"answers_shared\":" + Number(traffic.answersShared) +
            ",\"clients\":" + std::to_string(state.sessions.LiveCount()) + "}";
    return json + "}";
}

std::string StatusCommand(ServerState& state) {
    return "STATUS" + BuildStatusDocument(state) + ";";
}

}  // namespace brinmoor
