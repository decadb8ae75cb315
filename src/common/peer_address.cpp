#include "common/peer_address.h"

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
