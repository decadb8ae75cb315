#pragma once
// Who may connect: the --allow list of IPv4 addresses and CIDR blocks that
// the listener checks every new connection against, and how often a refused
// address is logged.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brinmoor {

// Addresses are host-order 32-bit numbers: 127.0.0.1 is 0x7F000001.
struct AddressBlock {
    std::uint32_t network = 0;
    std::uint32_t mask = 0;  // 0: every address
};
using AllowList = std::vector<AddressBlock>;

// Loopback, the private ranges, link-local and the shared address space that
// mesh VPNs use: every peer a station's own network can have.
inline constexpr std::string_view kDefaultAllow =
    "127.0.0.0/8,10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,169.254.0.0/16,100.64.0.0/10";

// A dotted IPv4 address: four decimal numbers 0 to 255, without leading zeros.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);
std::string FormatIpv4(std::uint32_t address);

// "any", or addresses ("192.168.1.20") and blocks ("192.168.1.0/24", host bits
// ignored) separated by commas. Nothing when any item is not one of these.
std::optional<AllowList> ParseAllowList(std::string_view text);
bool IsAllowed(const AllowList& list, std::uint32_t address);

// Tells whether a refusal from this address is to be logged now: at most once
// a minute per address. Remembers a bounded number of addresses.
class RefusalLogLimit {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{60};
    static constexpr std::size_t kMaxRemembered = 4096;

    bool ShouldLog(std::uint32_t address, Clock::time_point now);

  private:
    std::map<std::uint32_t, Clock::time_point> lastLogged;
};

}  // namespace brinmoor
