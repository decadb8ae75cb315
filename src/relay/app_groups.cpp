#include "relay/app_groups.h"

#include <cmath>
#include <cstdint>

#include "common/text.h"

namespace brinmoor {

void ReadExtGroups(const JsonValue& document, std::map<std::int32_t, std::string>& names,
                   AppGroupTable& table) {
    for (const auto& [key, value] : document.members) {
        // The standard conversion: "2x" reads as 2; no digit, or a number
        // beyond 32 bits, throws.
        const std::int32_t number = std::stoi(key, nullptr, 10);

        const JsonValue& name = JsonMember(value, "name");
        names[number] = name.kind == JsonKind::String ? name.text : "Group " + key;

        AppGroup group;
        ReadPortEntry(value, "cat", group.cat, group.catEnabled, 38400);
        const JsonValue& reports = JsonMember(JsonMember(value, "cat"), "reports");
        group.catReports = reports.kind == JsonKind::Bool && reports.flag;
        ReadPortEntry(value, "ptt", group.ptt, group.pttEnabled, 38400);
        ReadPortEntry(value, "cw", group.cw, group.cwEnabled, 38400);
        ReadPortEntry(value, "winkey", group.winkey, group.winkeyEnabled, 1200);
        ReadPortEntry(value, "fsk", group.fsk, group.fskEnabled, 45);
        if (group.catEnabled || group.pttEnabled || group.cwEnabled || group.winkeyEnabled ||
            group.fskEnabled) {
            table[number] = group;
        }
    }
}

std::optional<std::int32_t> ActiveGroupOf(const JsonValue& document) {
    const JsonValue& value = JsonMember(document, "active");
    if (value.kind == JsonKind::Number) {
        const double number = value.number;
        if (number != std::trunc(number) || number < INT32_MIN || number > INT32_MAX) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(number);
    }
    if (value.kind != JsonKind::String) return std::nullopt;
    const auto number = ParseLeadingInt(value.text);
    if (!number || std::to_string(*number) != value.text) return std::nullopt;
    return number;
}

}  // namespace brinmoor
