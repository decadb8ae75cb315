#pragma once
// Who may connect: the --allow list of IPv4 addresses and CIDR blocks that
// the listener (and every tcp: endpoint) checks each new connection against.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/peer_address.h"

namespace brinmoor {

struct AddressBlock {
    std::uint32_t network = 0;
    std::uint32_t mask = 0;  // 0: every address
};
using AllowList = std::vector<AddressBlock>;

// Loopback, the private ranges, link-local and the shared address space that
// mesh VPNs use: every peer a station's own network can have.
inline constexpr std::string_view kDefaultAllow =
    "127.0.0.0/8,10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,169.254.0.0/16,100.64.0.0/10";

// "any", or addresses ("192.168.1.20") and blocks ("192.168.1.0/24", host bits
// ignored) separated by commas. Nothing when any item is not one of these.
std::optional<AllowList> ParseAllowList(std::string_view text);
bool IsAllowed(const AllowList& list, std::uint32_t address);

}  // namespace brinmoor
