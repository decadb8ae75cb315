#include "relay/app_groups.h"

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

}  // namespace brinmoor
