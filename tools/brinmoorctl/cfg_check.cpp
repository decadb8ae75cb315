#include "cfg_check.h"

#include <cmath>
#include <map>
#include <optional>
#include <stdexcept>

#include "common/text.h"
#include "config/json.h"
#include "config/port_settings.h"
#include "json_text.h"
#include "radio/port_entry.h"
#include "server/client_session.h"

namespace brinmoor {
namespace {

// Which port an entry describes; it decides the default baud and whether
// "flow" means anything.
enum class EntryKind {
    LocalCat,
    LocalPtt,
    LocalCw,
    LocalWinKey,
    LocalFsk,
    GroupCat,
    GroupPtt,
    GroupCw,
    GroupWinKey,
    GroupFsk
};

constexpr std::string_view kEntryMembers[] = {"port",   "baud",     "bytesize",
                                              "parity", "stopbits", "flow"};
constexpr std::string_view kPortsMembers[] = {"CAT", "PTT", "CW", "WinKey", "FSK"};
constexpr std::string_view kGroupMembers[] = {"name", "cat", "ptt", "cw", "winkey", "fsk"};
constexpr std::string_view kTopMembers[] = {"ports", "ext_groups"};

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

template <std::size_t N>
bool Contains(const std::string_view (&names)[N], std::string_view name) {
    for (std::string_view known : names) {
        if (known == name) return true;
    }
    return false;
}

template <std::size_t N>
std::string SameNameOtherCase(const std::string_view (&names)[N], std::string_view name) {
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

// One place's rule for a name it does not take: a name the server knows
// elsewhere is ignored here (a warning); a name it knows nowhere is an error.
class Checker {
  public:
    std::vector<CfgFinding> findings;

    void Warn(std::string where, std::string text) {
        findings.push_back({CfgLevel::Warning, std::move(where), std::move(text)});
    }
    void Error(std::string where, std::string text) {
        findings.push_back({CfgLevel::Error, std::move(where), std::move(text)});
    }

    template <std::size_t N>
    void Stray(const std::string& path, std::string_view name, const std::string_view (&here)[N],
               std::string_view hint) {
        const std::string where = Join(path, name);
        const std::string sameName = SameNameOtherCase(here, name);
        if (!sameName.empty()) {
            Warn(where, "ignored: member names are case-sensitive; here it is " + Quoted(sameName));
        } else if (KnownAnywhere(name)) {
            Warn(where,
                 "ignored: the server does not read " + Quoted(name) + " here" + std::string(hint));
        } else {
            Error(where, "unknown member " + Quoted(name) + "; known here: " + List(here));
        }
    }

    template <std::size_t N>
    static std::string List(const std::string_view (&names)[N]) {
        std::string list;
        for (std::string_view name : names) list += (list.empty() ? "" : ", ") + Quoted(name);
        return list;
    }

    // Checks one port entry; returns the port name when it configures one.
    std::optional<std::string> Entry(const std::string& path, const JsonValue& entry,
                                     EntryKind kind) {
        if (entry.kind != JsonKind::Object) {
            Warn(path, "not an object: configures no port");
            return std::nullopt;
        }
        for (const auto& [name, value] : entry.members) {
            if (!Contains(kEntryMembers, name)) {
                const bool local = kind <= EntryKind::LocalFsk;
                Stray(
                    path, name, kEntryMembers,
                    local
                        ? ""
                        : " (a port entry names port, baud, bytesize, parity, stopbits and flow)");
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
        return port.text;
    }

    void Baud(const std::string& path, const JsonValue& entry, std::int32_t defaultBaud,
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

    void ByteSize(const std::string& path, const JsonValue& entry) {
        if (!JsonHasMember(entry, "bytesize")) return;
        const JsonValue& value = JsonMember(entry, "bytesize");
        const std::string where = Join(path, "bytesize");
        const bool readable =
            value.kind == JsonKind::Number ||
            (value.kind == JsonKind::String && ParseLeadingInt(value.text).has_value());
        if (!readable) Warn(where, "not a number: 8 data bits apply");
    }

    // A text the server does not know is refused (PortEntryProblem).
    void Parity(const std::string& path, const JsonValue& entry, char read) {
        if (!JsonHasMember(entry, "parity")) return;
        const JsonValue& value = JsonMember(entry, "parity");
        if (value.kind != JsonKind::String || value.text.empty()) {
            Warn(Join(path, "parity"),
                 "not one of \"none\", \"even\", \"odd\", \"mark\", \"space\" (or their first "
                 "letters): " +
                     ParityName(read) + " applies");
        }
    }

    void StopBits(const std::string& path, const JsonValue& entry, EntryKind kind) {
        if (!JsonHasMember(entry, "stopbits")) return;
        const JsonValue& value = JsonMember(entry, "stopbits");
        const float unreadable = -12345.0f;
        if (JsonToFloat(value, unreadable) == unreadable) {
            Warn(Join(path, "stopbits"),
                 "not a number: " + StopBitsText(DefaultStopBits(kind)) + " stop bit(s) apply");
        }
    }

    void Flow(const std::string& path, const JsonValue& entry, EntryKind kind) {
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
};

struct PortUse {
    std::string name;
    std::string where;
};

// Reports a port that two entries would open; only the first open succeeds.
// PTT and CW on the same port share it, in "ports" and within one group.
void CheckPortsOpenedTwice(Checker& checker, const std::vector<PortUse>& uses) {
    for (std::size_t i = 0; i < uses.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (!EqualsIgnoreAsciiCase(uses[i].name, uses[j].name)) continue;
            checker.Warn(uses[i].where, "port " + Quoted(uses[i].name) + " is already named by " +
                                            uses[j].where +
                                            "; a port opens only once, so this one will fail");
            break;
        }
    }
}

}  // namespace

bool CfgCheck::HasErrors() const {
    for (const CfgFinding& finding : findings) {
        if (finding.level == CfgLevel::Error) return true;
    }
    return false;
}

CfgCheck CheckCfgDocument(std::string_view original) {
    Checker checker;
    CfgCheck result;
    std::string_view text = original;
    // Windows editors like to begin a UTF-8 file with a byte order mark; the
    // server would read it as the whole (empty) document.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

    for (std::size_t at = text.find(';'); at != std::string_view::npos;
         at = text.find(';', at + 1)) {
        checker.Error(TextPosition(text, at),
                      "';' ends a frame on the wire, so a CFG document cannot hold one, not even "
                      "in a name");
    }

    JsonValue document;
    std::size_t position = 0;
    SkipJsonSpace(text, position);
    if (position == text.size()) {
        checker.Error("", "the file is empty");
    } else {
        try {
            document = ParseJsonValue(text, position);
        } catch (const std::exception& failure) {
            checker.Error(TextPosition(text, position),
                          std::string("the server cannot read this (") + failure.what() +
                              "): it would log \"[config] Bad CFG JSON\" and change nothing");
        }
    }
    if (checker.findings.empty()) {
        const std::string strict = StrictJsonProblem(text);
        if (!strict.empty()) {
            checker.Warn(strict.substr(0, strict.find(':')),
                         "not standard JSON (" + strict.substr(strict.find(':') + 2) +
                             "); the server reads it anyway, but perhaps not as meant");
        }
        if (document.kind != JsonKind::Object) {
            checker.Error("",
                          "the document is not a JSON object {...}: the server would only "
                          "stop the relays");
        }
    }
    std::vector<PortUse> uses;
    bool localWinKey = false;
    bool localFsk = false;
    bool localPtt = false;
    bool localCw = false;
    const bool hasPorts = JsonHasMember(document, "ports");
    if (document.kind == JsonKind::Object) {
        for (const auto& [name, value] : document.members) {
            if (!Contains(kTopMembers, name)) checker.Stray("", name, kTopMembers, "");
        }
        if (!hasPorts && !JsonHasMember(document, "ext_groups")) {
            checker.Warn("",
                         "neither \"ports\" nor \"ext_groups\": the server only stops the relays");
        }
    }

    if (hasPorts) {
        const JsonValue& ports = JsonMember(document, "ports");
        if (ports.kind != JsonKind::Object) {
            checker.Warn("ports",
                         "not an object: the server closes its own PTT, CW, WinKey and "
                         "FSK ports and opens none");
        }
        for (const auto& [name, value] : ports.members) {
            if (!Contains(kPortsMembers, name)) {
                checker.Stray("ports", name, kPortsMembers,
                              " (lower-case names belong to the app groups of \"ext_groups\")");
            }
        }
        const EntryKind kinds[] = {EntryKind::LocalCat, EntryKind::LocalPtt, EntryKind::LocalCw,
                                   EntryKind::LocalWinKey, EntryKind::LocalFsk};
        std::optional<std::string> pttPort;
        for (std::size_t i = 0; i < 5; ++i) {
            const std::string_view name = kPortsMembers[i];
            if (!JsonHasMember(ports, name)) continue;
            const std::string where = Join("ports", name);
            const auto port = checker.Entry(where, JsonMember(ports, name), kinds[i]);
            if (!port) continue;
            if (kinds[i] == EntryKind::LocalPtt) {
                localPtt = true;
                pttPort = port;
            }
            if (kinds[i] == EntryKind::LocalCw) localCw = true;
            if (kinds[i] == EntryKind::LocalWinKey) localWinKey = true;
            if (kinds[i] == EntryKind::LocalFsk) localFsk = true;
            // CW on the PTT port shares it (letter case aside).
            const bool sharesPtt =
                kinds[i] == EntryKind::LocalCw && pttPort && EqualsIgnoreAsciiCase(*pttPort, *port);
            if (!sharesPtt) uses.push_back({*port, where});
        }
    }

    if (JsonHasMember(document, "ext_groups")) {
        const JsonValue& groups = JsonMember(document, "ext_groups");
        if (groups.kind != JsonKind::Object) {
            checker.Warn("ext_groups", "not an object: read as no app groups, so no relays run");
        }
        std::map<std::int32_t, std::string> numbers;
        for (const auto& [key, group] : groups.members) {
            const std::string path = Join("ext_groups", key);
            const std::optional<std::int32_t> number = ParseLeadingInt(key);
            if (!number) {
                checker.Error(path,
                              "a group key must be a group number such as \"1\": the server "
                              "stops at this one and starts no relays");
                continue;
            }
            if (std::to_string(*number) != key) {
                checker.Warn(path, "read as group " + std::to_string(*number));
            }
            if (const auto seen = numbers.find(*number); seen != numbers.end()) {
                checker.Warn(path, "group " + std::to_string(*number) + " is also given as " +
                                       Quoted(seen->second) + "; the later one replaces it");
            }
            numbers[*number] = key;
            if (group.kind != JsonKind::Object) {
                checker.Warn(path, "not an object: the group gets no ports");
                continue;
            }
            for (const auto& [name, value] : group.members) {
                if (!Contains(kGroupMembers, name)) {
                    checker.Stray(path, name, kGroupMembers,
                                  " (app groups use the lower-case names \"cat\", \"ptt\", "
                                  "\"cw\", \"winkey\", \"fsk\")");
                }
            }
            if (JsonHasMember(group, "name") &&
                JsonMember(group, "name").kind != JsonKind::String) {
                checker.Warn(Join(path, "name"),
                             "not a text: the group is shown as \"Group " + key + "\"");
            }
            const EntryKind kinds[] = {EntryKind::GroupCat, EntryKind::GroupPtt, EntryKind::GroupCw,
                                       EntryKind::GroupWinKey, EntryKind::GroupFsk};
            bool any = false;
            std::optional<std::string> pttPort;
            for (std::size_t i = 0; i < 5; ++i) {
                const std::string_view name = kGroupMembers[i + 1];
                if (!JsonHasMember(group, name)) continue;
                const std::string where = Join(path, name);
                const auto port = checker.Entry(where, JsonMember(group, name), kinds[i]);
                if (!port) continue;
                any = true;
                bool sharesPtt = false;
                switch (kinds[i]) {
                    case EntryKind::GroupPtt:
                        pttPort = port;
                        if (hasPorts && !localPtt) {
                            checker.Warn(where,
                                         "the document gives the server no PTT port: "
                                         "this relay has no line to key");
                        }
                        break;
                    case EntryKind::GroupCw:
                        // The relay shares the PTT port only on exactly the same name.
                        sharesPtt = pttPort && *pttPort == *port;
                        if (pttPort && !sharesPtt && EqualsIgnoreAsciiCase(*pttPort, *port)) {
                            checker.Warn(where,
                                         "differs from the \"ptt\" port only in letter "
                                         "case: write it the same to share that port");
                            sharesPtt = true;  // reported here, not again as opened twice
                        }
                        if (hasPorts && !localCw) {
                            checker.Warn(where,
                                         "the document gives the server no CW port: "
                                         "this relay has no line to key");
                        }
                        break;
                    case EntryKind::GroupWinKey:
                        if (hasPorts && !localWinKey) {
                            checker.Warn(where,
                                         "the document gives the server no WinKey port "
                                         "(\"ports\"/\"WinKey\"): no WinKey relay starts");
                        }
                        break;
                    case EntryKind::GroupFsk:
                        if (hasPorts && !localFsk) {
                            checker.Warn(where,
                                         "the document gives the server no FSK port "
                                         "(\"ports\"/\"FSK\"): no FSK relay starts");
                        }
                        break;
                    default:
                        break;
                }
                if (!sharesPtt) uses.push_back({*port, where});
            }
            if (!any) checker.Warn(path, "names no port: only its name is used");
        }
    }
    CheckPortsOpenedTwice(checker, uses);

    result.findings = std::move(checker.findings);
    if (!result.HasErrors()) {
        result.frame = "CFG" + MinifyJson(text) + ";";
        if (result.frame.size() - 1 >= kMaxPendingBytes) {
            result.findings.push_back({CfgLevel::Error, "",
                                       "the document is too long for one frame (" +
                                           std::to_string(result.frame.size()) +
                                           " bytes; the server takes fewer than " +
                                           std::to_string(kMaxPendingBytes) + ")"});
            result.frame.clear();
        }
    }
    return result;
}

std::string FormatFindings(const std::vector<CfgFinding>& findings, std::string_view fileName) {
    std::string text;
    for (const CfgFinding& finding : findings) {
        text += std::string(fileName) + ": ";
        text += finding.level == CfgLevel::Error ? "error: " : "warning: ";
        if (!finding.where.empty()) text += finding.where + ": ";
        text += finding.text + "\n";
    }
    return text;
}

}  // namespace brinmoor
