#include "server/allow_list.h"

#include <iterator>

namespace brinmoor {

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
    std::uint32_t address = 0;
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        const std::size_t start = i;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 4) {
            value = value * 10 + (text[i] - '0');
            ++i;
        }
        const std::size_t digits = i - start;
        if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
        if (digits > 1 && text[start] == '0') return std::nullopt;  // no octal look-alikes
        address = (address << 8) | static_cast<std::uint32_t>(value);
        ++parts;
        if (i == text.size()) {
            if (parts != 4) return std::nullopt;
            return address;
        }
        if (text[i] != '.' || parts == 4) return std::nullopt;
        ++i;
    }
}

std::string FormatIpv4(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

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

bool RefusalLogLimit::ShouldLog(std::uint32_t address, Clock::time_point now) {
    const auto found = lastLogged.find(address);
    if (found != lastLogged.end()) {
        if (now - found->second < kInterval) return false;
        found->second = now;
        return true;
    }
    if (lastLogged.size() >= kMaxRemembered) {
        // Forget the addresses whose minute is over; if every one is recent,
        // forget them all rather than grow: a few lines more, never memory.
        for (auto it = lastLogged.begin(); it != lastLogged.end();) {
            it = now - it->second >= kInterval ? lastLogged.erase(it) : std::next(it);
        }
        if (lastLogged.size() >= kMaxRemembered) lastLogged.clear();
    }
    lastLogged.emplace(address, now);
    return true;
}

}  // namespace brinmoor
