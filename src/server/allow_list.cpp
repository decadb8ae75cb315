#include "server/allow_list.h"

namespace brinmoor {

std::optional<AllowList> ParseAllowList(std::string_view text) {
    if (text == "any") return AllowList{AddressBlock{0, 0}};
    AllowList list;
    while (true) {
        const std::size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        int prefix = 32;
        if (const std::size_t slash = item.find('/'); slash != std::string_view::npos) {
            const std::string_view bits = item.substr(slash + 1);
            if (bits.empty() || bits.size() > 2) return std::nullopt;
            prefix = 0;
            for (char c : bits) {
                if (c < '0' || c > '9') return std::nullopt;
                prefix = prefix * 10 + (c - '0');
            }
            if (prefix > 32) return std::nullopt;
            item = item.substr(0, slash);
        }
        const std::optional<std::uint32_t> address = ParseIpv4(item);
        if (!address) return std::nullopt;
        const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
        list.push_back({*address & mask, mask});
        if (comma == std::string_view::npos) return list;
        text.remove_prefix(comma + 1);
    }
}

bool IsAllowed(const AllowList& list, std::uint32_t address) {
    for (const AddressBlock& block : list) {
        if ((address & block.mask) == block.network) return true;
    }
    return false;
}

}  // namespace brinmoor
