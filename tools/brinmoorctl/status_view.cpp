#include "status_view.h"

#include <cstdio>
#include <string>

#include "common/text.h"

namespace brinmoor {
namespace {

std::string Str(const JsonValue& value, std::string_view otherwise = "-") {
    if (value.kind == JsonKind::String) return EscapeControlBytes(value.text);
    if (value.kind == JsonKind::Number) return std::to_string(static_cast<long long>(value.number));
    return std::string(otherwise);
}

bool Flag(const JsonValue& value) {
    return value.kind == JsonKind::Bool && value.flag;
}

// 14074000 Hz as "14.074.000".
std::string Frequency(const JsonValue& value) {
    if (value.kind != JsonKind::Number) return "-";
    std::string digits = std::to_string(static_cast<unsigned long long>(value.number));
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ".");
    return digits;
}

// Milliseconds since an event: "120 ms", "3.4 s", "12 min".
std::string Ago(const JsonValue& value) {
    if (value.kind != JsonKind::Number) return "-";
    const double ms = value.number;
    char text[32];
    if (ms < 1000) {
        std::snprintf(text, sizeof text, "%.0f ms", ms);
    } else if (ms < 120000) {
        std::snprintf(text, sizeof text, "%.1f s", ms / 1000);
    } else {
        std::snprintf(text, sizeof text, "%.0f min", ms / 60000);
    }
    return text;
}

std::string Pad(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text + " ";
}

std::string RadioLines(const JsonValue& radio) {
    const std::string link = Str(JsonMember(radio, "link"));
    const JsonValue& port = JsonMember(radio, "port");
    // Without a CAT port there is no link to speak of.
    if (port.kind != JsonKind::String) return "Radio   no CAT port\n";
    std::string line = "Radio   " + Str(port) + " " + link;
    if (link == "lost") line += " for " + Ago(JsonMember(radio, "lost_ms"));
    line += ", " + Str(JsonMember(radio, "id"), "not identified");
    const std::string dialect = Str(JsonMember(radio, "dialect"));
    if (dialect != "unknown") line += " (" + dialect + ")";
    line += ", last answer " + Ago(JsonMember(radio, "last_answer_ms")) + " ago\n";
    const JsonValue& transmitting = JsonMember(radio, "transmitting");
    line += "        VFO A " + Frequency(JsonMember(radio, "vfo_a_hz")) + "  VFO B " +
            Frequency(JsonMember(radio, "vfo_b_hz")) + "  mode " + Str(JsonMember(radio, "mode")) +
            "  " +
            (transmitting.kind != JsonKind::Bool ? "transmit state unknown"
             : transmitting.flag                 ? "TRANSMITTING"
                                                 : "receiving") +
            "\n";
    return line;
}

std::string PortState(const JsonValue& port) {
    if (!Flag(JsonMember(port, "open"))) return "closed";
    const std::string kind = Str(JsonMember(port, "kind"));
    if (kind == "tcp") {
        const JsonValue& peer = JsonMember(port, "peer");
        return peer.kind == JsonKind::String ? "connected " + Str(peer) : "waiting";
    }
    if (JsonHasMember(port, "keyed")) return Flag(JsonMember(port, "keyed")) ? "keyed" : "open";
    return "open";
}

std::string GroupLines(const JsonValue& groups) {
    std::string text = "Group   Name             Port                         State               "
                       "Relayed Refused  Shared  Last cmd  AI\n";
    for (const auto& [number, group] : groups.members) {
        bool first = true;
        for (const auto& [kind, port] : JsonMember(group, "ports").members) {
            std::string line = first ? Pad((Flag(JsonMember(group, "active")) ? "*" : " ") +
                                               EscapeControlBytes(number),
                                           7) +
                                           Pad(Str(JsonMember(group, "name")), 16)
                                     : std::string(25, ' ');
            line += Pad(kind + " " + Str(JsonMember(port, "port")), 28);
            line += Pad(PortState(port), 19);
            if (first) {
                char counters[96];
                std::snprintf(counters, sizeof counters, "%7s %7s %7s %9s  %s",
                              Str(JsonMember(group, "commands_relayed")).c_str(),
                              Str(JsonMember(group, "refused_while_inactive")).c_str(),
                              Str(JsonMember(group, "answers_shared")).c_str(),
                              Ago(JsonMember(group, "last_command_ms")).c_str(),
                              Str(JsonMember(group, "auto_information")).c_str());
                line += counters;
                if (Flag(JsonMember(group, "reports"))) line += " (reports)";
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            text += line + "\n";
            first = false;
        }
    }
    return text;
}

std::string LineLines(const JsonValue& lines) {
    std::string text = "Line    State    Holder\n";
    for (const auto& [name, line] : lines.members) {
        std::string state = !Flag(JsonMember(line, "open")) ? "closed"
                            : Flag(JsonMember(line, "keyed")) ? "KEYED"
                                                              : "off";
        std::string row = Pad(EscapeControlBytes(name), 7) + Pad(state, 8);
        const JsonValue& holder = JsonMember(line, "holder");
        if (holder.kind == JsonKind::String) {
            row += Str(holder) + " for " + Ago(JsonMember(line, "keyed_ms"));
        }
        if (JsonMember(line, "released_by").kind == JsonKind::String) {
            row += "released by " + Str(JsonMember(line, "released_by"));
        }
        while (!row.empty() && row.back() == ' ') row.pop_back();
        text += row + "\n";
    }
    return text;
}

}  // namespace

JsonValue ReadStatusDocument(std::string_view text) {
    std::string plain(text);
    for (std::size_t at = plain.find("\\u003b"); at != std::string::npos;
         at = plain.find("\\u003b", at + 1)) {
        plain.replace(at, 6, ";");
    }
    return ParseJsonDocument(plain);
}

std::string FormatStatus(const JsonValue& status) {
    const JsonValue& server = JsonMember(status, "server");
    const JsonValue& active = JsonMember(status, "active_group");
    std::string text = "brinmoor on port " + Str(JsonMember(server, "tcp_port")) + ": " +
                       Str(JsonMember(server, "clients")) + " client(s), " +
                       Str(JsonMember(server, "commands_written")) + " commands written, " +
                       Str(JsonMember(server, "answers_shared")) + " answers shared\n";
    text += RadioLines(JsonMember(status, "radio"));
    text += "Active  " +
            (Str(JsonMember(active, "number")) == "-1"
                 ? std::string("none (Default)")
                 : "group " + Str(JsonMember(active, "number")) + " " +
                       Str(JsonMember(active, "name"))) +
            "\n";
    const JsonValue& groups = JsonMember(status, "groups");
    if (!groups.members.empty()) text += GroupLines(groups);
    text += LineLines(JsonMember(status, "lines"));
    return text;
}

}  // namespace brinmoor
