// brinmoorctl's checks of a whole CFG document: the text, its sections, the
// app groups and the ports named twice. One entry's rules are in
// cfg_entry_check.cpp.
#include "cfg_check.h"

#include <map>
#include <stdexcept>

#include "cfg_checker.h"
#include "common/text.h"
#include "config/port_settings.h"
#include "json_text.h"
#include "relay/app_groups.h"
#include "server/client_session.h"

namespace brinmoor {
namespace {

struct PortUse {
    PortName name;
    std::string where;
};

// What the document's "ports" gives the server, for the groups' checks.
struct OwnPorts {
    bool present = false;  // the document has "ports": it replaces them all
    bool ptt = false;
    bool cw = false;
    bool winkey = false;
    bool fsk = false;
};

// Reports a port that two entries would open; only the first open succeeds.
// PTT and CW on the same port share it, in "ports" and within one group.
void CheckPortsOpenedTwice(Checker& checker, const std::vector<PortUse>& uses) {
    for (std::size_t i = 0; i < uses.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (!EqualsIgnoreAsciiCase(uses[i].name.opens, uses[j].name.opens)) continue;
            checker.Warn(uses[i].where, "port " + Quoted(uses[i].name.written) +
                                            " is already named by " + uses[j].where +
                                            "; a port opens only once, so this one will fail");
            break;
        }
    }
}

// The text as the server's reader takes it; findings for what it cannot read.
JsonValue ReadDocument(Checker& checker, std::string_view text) {
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
        return document;
    }
    try {
        document = ParseJsonValue(text, position);
    } catch (const std::exception& failure) {
        checker.Error(TextPosition(text, position),
                      std::string("the server cannot read this (") + failure.what() +
                          "): it would log \"[config] Bad CFG JSON\" and change nothing");
        return document;
    }
    if (!checker.findings.empty()) return document;
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
    return document;
}

OwnPorts CheckOwnPorts(Checker& checker, const JsonValue& document, std::vector<PortUse>& uses) {
    OwnPorts own;
    own.present = JsonHasMember(document, "ports");
    if (!own.present) return own;
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
    bool* configured[] = {nullptr, &own.ptt, &own.cw, &own.winkey, &own.fsk};
    std::optional<PortName> pttPort;
    for (std::size_t i = 0; i < 5; ++i) {
        const std::string_view name = kPortsMembers[i];
        if (!JsonHasMember(ports, name)) continue;
        const std::string where = Join("ports", name);
        const auto port = checker.Entry(where, JsonMember(ports, name), kinds[i]);
        if (!port) continue;
        if (configured[i] != nullptr) *configured[i] = true;
        if (kinds[i] == EntryKind::LocalPtt) pttPort = port;
        // CW on the PTT port shares it (letter case aside).
        const bool sharesPtt = kinds[i] == EntryKind::LocalCw && pttPort &&
                               EqualsIgnoreAsciiCase(pttPort->written, port->written);
        if (!sharesPtt) uses.push_back({*port, where});
    }
    return own;
}

// Whether a group's port has the server's port it relays to.
void CheckGroupPort(Checker& checker, const std::string& where, EntryKind kind,
                    const OwnPorts& own) {
    if (!own.present) return;
    if (kind == EntryKind::GroupPtt && !own.ptt) {
        checker.Warn(where, "the document gives the server no PTT port: this relay has no line to key");
    } else if (kind == EntryKind::GroupCw && !own.cw) {
        checker.Warn(where, "the document gives the server no CW port: this relay has no line to key");
    } else if (kind == EntryKind::GroupWinKey && !own.winkey) {
        checker.Warn(where,
                     "the document gives the server no WinKey port (\"ports\"/\"WinKey\"): no "
                     "WinKey relay starts");
    } else if (kind == EntryKind::GroupFsk && !own.fsk) {
        checker.Warn(where,
                     "the document gives the server no FSK port (\"ports\"/\"FSK\"): no FSK "
                     "relay starts");
    }
}

void CheckGroup(Checker& checker, const std::string& path, const std::string& key,
                const JsonValue& group, const OwnPorts& own, std::vector<PortUse>& uses) {
    if (group.kind != JsonKind::Object) {
        checker.Warn(path, "not an object: the group gets no ports");
        return;
    }
    for (const auto& [name, value] : group.members) {
        if (!Contains(kGroupMembers, name)) {
            checker.Stray(path, name, kGroupMembers,
                          " (app groups use the lower-case names \"cat\", \"ptt\", \"cw\", "
                          "\"winkey\", \"fsk\")");
        }
    }
    if (JsonHasMember(group, "name") && JsonMember(group, "name").kind != JsonKind::String) {
        checker.Warn(Join(path, "name"), "not a text: the group is shown as \"Group " + key + "\"");
    }
    const EntryKind kinds[] = {EntryKind::GroupCat, EntryKind::GroupPtt, EntryKind::GroupCw,
                               EntryKind::GroupWinKey, EntryKind::GroupFsk};
    bool any = false;
    std::optional<PortName> pttPort;
    for (std::size_t i = 0; i < 5; ++i) {
        const std::string_view name = kGroupMembers[i + 1];
        if (!JsonHasMember(group, name)) continue;
        const std::string where = Join(path, name);
        const auto port = checker.Entry(where, JsonMember(group, name), kinds[i]);
        if (!port) continue;
        any = true;
        bool sharesPtt = false;
        if (kinds[i] == EntryKind::GroupPtt) pttPort = port;
        if (kinds[i] == EntryKind::GroupCw && pttPort) {
            // The relay shares the PTT port only on exactly the same name.
            sharesPtt = pttPort->written == port->written;
            if (!sharesPtt && EqualsIgnoreAsciiCase(pttPort->written, port->written)) {
                checker.Warn(where,
                             "differs from the \"ptt\" port only in letter case: write it the "
                             "same to share that port");
                sharesPtt = true;  // reported here, not again as opened twice
            }
        }
        CheckGroupPort(checker, where, kinds[i], own);
        if (!sharesPtt) uses.push_back({*port, where});
    }
    if (!any) checker.Warn(path, "names no port: only its name is used");
}

void CheckGroups(Checker& checker, const JsonValue& document, const OwnPorts& own,
                 std::vector<PortUse>& uses) {
    if (!JsonHasMember(document, "ext_groups")) return;
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
        CheckGroup(checker, path, key, group, own, uses);
    }
}

// "active" names the app group a station file makes active; over CFG the
// server leaves it out (brinmoorctl cfg sends AG for it).
void CheckActive(Checker& checker, const JsonValue& document) {
    if (!JsonHasMember(document, "active")) return;
    if (!ActiveGroupOf(document)) {
        checker.Warn("active",
                     "not an app group number such as 1: the server makes no app active");
    }
}

}  // namespace

bool CfgCheck::HasErrors() const {
    for (const CfgFinding& finding : findings) {
        if (finding.level == CfgLevel::Error) return true;
    }
    return false;
}

CfgCheck CheckCfgDocument(std::string_view text) {
    Checker checker;
    // Windows editors like to begin a UTF-8 file with a byte order mark; the
    // server would read it as the whole (empty) document.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    const JsonValue document = ReadDocument(checker, text);
    if (document.kind == JsonKind::Object) {
        for (const auto& [name, value] : document.members) {
            if (!Contains(kTopMembers, name)) checker.Stray("", name, kTopMembers, "");
        }
        if (!JsonHasMember(document, "ports") && !JsonHasMember(document, "ext_groups")) {
            checker.Warn("",
                         "neither \"ports\" nor \"ext_groups\": the server only stops the relays");
        }
    }
    std::vector<PortUse> uses;
    const OwnPorts own = CheckOwnPorts(checker, document, uses);
    CheckGroups(checker, document, own, uses);
    CheckActive(checker, document);
    CheckPortsOpenedTwice(checker, uses);

    CfgCheck result;
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
