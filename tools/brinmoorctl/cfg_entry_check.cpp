// brinmoorctl's checks of one port entry: its members, its values, and
// whether its kind of name serves the port it configures.
#include <cmath>
#include <iterator>

#include "cfg_checker.h"
#include "common/text.h"
#include "config/port_settings.h"
#include "platform/endpoint.h"
#include "radio/port_entry.h"

namespace brinmoor {
namespace {

std::int32_t DefaultBaud(EntryKind kind) {
    switch (kind) {
        case EntryKind::LocalWinKey:
        case EntryKind::GroupWinKey:
            return 1200;
        case EntryKind::LocalFsk:
        case EntryKind::GroupFsk:
            return 45;
        default:
            return 38400;
    }
}

float DefaultStopBits(EntryKind kind) {
    if (kind == EntryKind::LocalWinKey) return 2.0f;
    if (kind == EntryKind::LocalFsk) return 1.5f;
    return 1.0f;
}

template <typename Names>
std::string SameNameOtherCase(const Names& names, std::string_view name) {
    for (std::string_view known : names) {
        if (EqualsIgnoreAsciiCase(known, name)) return std::string(known);
    }
    return {};
}

bool KnownAnywhere(std::string_view name) {
    const std::string lower = AsciiLower(name);
    for (const auto* list : {&kEntryMembers, &kGroupMembers}) {
        for (std::string_view known : *list) {
            if (known == lower) return true;
        }
    }
    return SameNameOtherCase(kPortsMembers, name) != "" ||
           SameNameOtherCase(kTopMembers, name) != "";
}

PortUse UseOf(EntryKind kind) {
    switch (kind) {
        case EntryKind::LocalCat:
            return PortUse::Radio;
        case EntryKind::GroupCat:
        case EntryKind::GroupWinKey:
        case EntryKind::GroupFsk:
            return PortUse::GroupData;
        case EntryKind::GroupPtt:
        case EntryKind::GroupCw:
            return PortUse::GroupLine;
        default:
            return PortUse::ServerOwn;
    }
}

}  // namespace

std::string Quoted(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    quoted += text;
    quoted += '"';
    return quoted;
}

std::string Join(std::string_view path, std::string_view member) {
    return path.empty() ? std::string(member) : std::string(path) + "/" + std::string(member);
}

void Checker::Warn(std::string where, std::string text) {
    findings.push_back({CfgLevel::Warning, std::move(where), std::move(text)});
}

void Checker::Error(std::string where, std::string text) {
    findings.push_back({CfgLevel::Error, std::move(where), std::move(text)});
}

void Checker::StrayIn(const std::string& path, std::string_view name,
                      const std::vector<std::string_view>& here, std::string_view hint) {
    const std::string where = Join(path, name);
    const std::string sameName = SameNameOtherCase(here, name);
    if (!sameName.empty()) {
        Warn(where, "ignored: member names are case-sensitive; here it is " + Quoted(sameName));
    } else if (KnownAnywhere(name)) {
        Warn(where, "ignored: the server does not read " + Quoted(name) + " here" + std::string(hint));
    } else {
        std::string list;
        for (std::string_view known : here) list += (list.empty() ? "" : ", ") + Quoted(known);
        Error(where, "unknown member " + Quoted(name) + "; known here: " + list);
    }
}

std::optional<PortName> Checker::Entry(const std::string& path, const JsonValue& entry,
                                       EntryKind kind) {
    if (entry.kind != JsonKind::Object) {
        Warn(path, "not an object: configures no port");
        return std::nullopt;
    }
    for (const auto& [name, value] : entry.members) {
        // A group's cat port may ask for the radio's reports.
        if (kind == EntryKind::GroupCat && name == "reports") {
            if (value.kind != JsonKind::Bool) Warn(Join(path, name), "not true or false: no reports");
            continue;
        }
        if (!Contains(kEntryMembers, name)) {
            const bool local = kind <= EntryKind::LocalFsk;
            Stray(path, name, kEntryMembers,
                  local ? "" : " (a port entry names port, baud, bytesize, parity, stopbits and flow)");
        }
    }
    const JsonValue& port = JsonMember(entry, "port");
    if (!JsonHasMember(entry, "port")) {
        Warn(path, "no \"port\": configures no port");
        return std::nullopt;
    }
    if (port.kind != JsonKind::String) {
        Warn(Join(path, "port"), "not a text in double quotes: configures no port");
        return std::nullopt;
    }
    if (IsNoPort(port.text)) return std::nullopt;
    if (const std::string problem = PortEntryProblem(entry); !problem.empty()) {
        Error(path, problem + ": the server would refuse the whole document");
    }

    const std::int32_t defaultBaud = DefaultBaud(kind);
    const PortSettings read = PortSettingsFromJson(entry, defaultBaud);
    Baud(path, entry, defaultBaud, read.baud);
    ByteSize(path, entry);
    Parity(path, entry, read.parity);
    StopBits(path, entry, kind);
    Flow(path, entry, kind);
    Endpoint(path, entry, kind);
    return PortName{port.text, CanonicalEndpointName(ParseEndpointName(port.text))};
}

void Checker::Endpoint(const std::string& path, const JsonValue& entry, EntryKind kind) {
    const std::string name = JsonText(JsonMember(entry, "port"));
    if (const std::string problem = EndpointProblem(name, UseOf(kind)); !problem.empty()) {
        Error(path, problem + ": the server would refuse the whole document");
        return;
    }
    if (ParseEndpointName(name).kind == EndpointKind::Serial) return;
    for (const char* setting : {"baud", "bytesize", "parity", "stopbits"}) {
        if (JsonHasMember(entry, setting)) {
            Warn(Join(path, setting), "a tcp: or pty: endpoint has no line settings: not used");
        }
    }
    if (kind == EntryKind::GroupFsk && JsonHasMember(entry, "flow")) {
        Warn(Join(path, "flow"), "a tcp: or pty: endpoint has no DSR: FSK data only, no line keyed");
    }
}

void Checker::Baud(const std::string& path, const JsonValue& entry, std::int32_t defaultBaud,
          std::int32_t read) {
    if (!JsonHasMember(entry, "baud")) return;
    const JsonValue& baud = JsonMember(entry, "baud");
    const std::string where = Join(path, "baud");
    if (baud.kind == JsonKind::String) {
        Warn(where, "a baud rate in quotes is not read: the default " +
                        std::to_string(defaultBaud) + " applies; write it without quotes");
    } else if (baud.kind != JsonKind::Number) {
        Warn(where, "not a number: the default " + std::to_string(defaultBaud) + " applies");
    } else if (baud.number != std::floor(baud.number) && baud.number >= 1 &&
               baud.number <= kMostBaud) {
        Warn(where, "not a whole number: the server uses " + std::to_string(read));
    }
}

void Checker::ByteSize(const std::string& path, const JsonValue& entry) {
    if (!JsonHasMember(entry, "bytesize")) return;
    const JsonValue& value = JsonMember(entry, "bytesize");
    const std::string where = Join(path, "bytesize");
    const bool readable =
        value.kind == JsonKind::Number ||
        (value.kind == JsonKind::String && ParseLeadingInt(value.text).has_value());
    if (!readable) Warn(where, "not a number: 8 data bits apply");
}

// A text the server does not know is refused (PortEntryProblem).
void Checker::Parity(const std::string& path, const JsonValue& entry, char read) {
    if (!JsonHasMember(entry, "parity")) return;
    const JsonValue& value = JsonMember(entry, "parity");
    if (value.kind != JsonKind::String || value.text.empty()) {
        Warn(Join(path, "parity"),
             "not one of \"none\", \"even\", \"odd\", \"mark\", \"space\" (or their first "
             "letters): " +
                 ParityName(read) + " applies");
    }
}

void Checker::StopBits(const std::string& path, const JsonValue& entry, EntryKind kind) {
    if (!JsonHasMember(entry, "stopbits")) return;
    const JsonValue& value = JsonMember(entry, "stopbits");
    const float unreadable = -12345.0f;
    if (JsonToFloat(value, unreadable) == unreadable) {
        Warn(Join(path, "stopbits"),
             "not a number: " + StopBitsText(DefaultStopBits(kind)) + " stop bit(s) apply");
    }
}

void Checker::Flow(const std::string& path, const JsonValue& entry, EntryKind kind) {
    if (!JsonHasMember(entry, "flow")) return;
    const JsonValue& value = JsonMember(entry, "flow");
    const std::string where = Join(path, "flow");
    switch (kind) {
        case EntryKind::LocalCat:
        case EntryKind::LocalWinKey:
        case EntryKind::LocalFsk:
        case EntryKind::GroupCat:
        case EntryKind::GroupWinKey:
            Warn(where,
                 "ignored: \"flow\" means something only for PTT, CW and app-group FSK ports");
            return;
        default:
            break;
    }
    if (value.kind != JsonKind::String) {
        Warn(where, "not a text: \"DTR\" applies");
        return;
    }
    const std::string flow = AsciiUpper(value.text);
    if (kind == EntryKind::LocalPtt || kind == EntryKind::LocalCw) {
        if (flow == "DTR/RTS") {
            Warn(where, "the server's own PTT and CW lines key one line: this keys DTR only");
        } else if (!flow.empty() && flow != "DTR" && flow != "RTS") {
            Warn(where, Quoted(value.text) + " is not \"DTR\" or \"RTS\": this keys DTR");
        }
    } else if (kind == EntryKind::GroupFsk) {
        if (!flow.empty() && flow != "DTR" && flow != "RTS" && flow != "DTR/RTS" &&
            flow != "NONE") {
            Warn(where, Quoted(value.text) +
                            " is not \"DTR\", \"RTS\", \"DTR/RTS\" or \"NONE\": FSK data is "
                            "passed on, no line is keyed");
        }
    } else if (!flow.empty() && flow != "DTR" && flow != "RTS" && flow != "DTR/RTS") {
        Warn(where, Quoted(value.text) + " is not \"DTR\", \"RTS\" or \"DTR/RTS\"");
    }
}

}  // namespace brinmoor
