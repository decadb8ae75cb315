#pragma once
// Peers by their IPv4 address: its dotted text, and how often a refusal of
// one is logged. Addresses are host-order 32-bit numbers: 127.0.0.1 is
// 0x7F000001.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace brinmoor {

// A dotted IPv4 address: four decimal numbers 0 to 255, without leading zeros.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);
std::string FormatIpv4(std::uint32_t address);

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
