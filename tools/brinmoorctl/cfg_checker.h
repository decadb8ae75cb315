#pragma once
// Shared by cfg_check.cpp (the document: its sections, groups and ports
// named twice) and cfg_entry_check.cpp (one port entry): the findings being
// gathered and the rules for one entry.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cfg_check.h"
#include "config/json.h"

namespace brinmoor {

// Which port an entry describes; it decides the default baud, whether "flow"
// means anything, and which kinds of name the port takes.
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

inline constexpr std::string_view kEntryMembers[] = {"port",   "baud",     "bytesize",
                                                     "parity", "stopbits", "flow"};
inline constexpr std::string_view kPortsMembers[] = {"CAT", "PTT", "CW", "WinKey", "FSK"};
inline constexpr std::string_view kGroupMembers[] = {"name", "cat", "ptt", "cw", "winkey", "fsk"};
inline constexpr std::string_view kTopMembers[] = {"ports", "ext_groups", "active"};

std::string Quoted(std::string_view text);
// "ports/CAT/baud": where a finding is.
std::string Join(std::string_view path, std::string_view member);

template <std::size_t N>
bool Contains(const std::string_view (&names)[N], std::string_view name) {
    for (std::string_view known : names) {
        if (known == name) return true;
    }
    return false;
}

// A port an entry opens, by the name written and by what it opens (two
// ways of writing one tcp: endpoint open the same socket).
struct PortName {
    std::string written;
    std::string opens;
};

class Checker {
  public:
    std::vector<CfgFinding> findings;

    void Warn(std::string where, std::string text);
    void Error(std::string where, std::string text);

    // A member this place does not take: one the server knows elsewhere (or
    // in another letter case) is ignored, a warning; one it knows nowhere
    // is an error.
    template <std::size_t N>
    void Stray(const std::string& path, std::string_view name, const std::string_view (&here)[N],
               std::string_view hint) {
        std::vector<std::string_view> names(std::begin(here), std::end(here));
        StrayIn(path, name, names, hint);
    }

    // Checks one port entry; the port it opens when it configures one.
    std::optional<PortName> Entry(const std::string& path, const JsonValue& entry,
                                  EntryKind kind);

  private:
    void StrayIn(const std::string& path, std::string_view name,
                 const std::vector<std::string_view>& here, std::string_view hint);
    void Baud(const std::string& path, const JsonValue& entry, std::int32_t defaultBaud,
              std::int32_t read);
    void ByteSize(const std::string& path, const JsonValue& entry);
    void Parity(const std::string& path, const JsonValue& entry, char read);
    void StopBits(const std::string& path, const JsonValue& entry, EntryKind kind);
    void Flow(const std::string& path, const JsonValue& entry, EntryKind kind);
    void Endpoint(const std::string& path, const JsonValue& entry, EntryKind kind);
};

}  // namespace brinmoor
