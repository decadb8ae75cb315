#include "platform/serial_rules.h"

#include <limits>

#include "common/text.h"

namespace brinmoor {
namespace {

constexpr std::uint64_t kWriteMarginMs = 500;
constexpr std::uint64_t kBitsPerByteTimesMs = 11000;  // 11 bits per byte, in ms per baud

bool IsSlash(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

std::uint32_t SerialWriteTimeoutMs(std::size_t bytes, std::uint32_t baud) {
    const std::uint64_t rate = baud == 0 ? 1 : baud;
    const std::uint64_t wire = (std::uint64_t{bytes} * kBitsPerByteTimesMs + rate - 1) / rate;
    const std::uint64_t total = wire + kWriteMarginMs;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max() - 1;  // not INFINITE
    return static_cast<std::uint32_t>(total < kMax ? total : kMax);
}

std::chrono::microseconds SerialCharacterTime(const SerialDeviceSettings& settings) {
    // In half bits, for the 1.5 stop bits.
    std::uint64_t halfBits = 2 + 2 * std::uint64_t{settings.dataBits};
    if (settings.parity != SerialParity::None) halfBits += 2;
    switch (settings.stopBits) {
        case SerialStopBits::One:
            halfBits += 2;
            break;
        case SerialStopBits::OneAndHalf:
            halfBits += 3;
            break;
        case SerialStopBits::Two:
            halfBits += 4;
            break;
    }
    const std::uint64_t halfRate = 2 * std::uint64_t{settings.baud == 0 ? 1 : settings.baud};
    return std::chrono::microseconds((halfBits * 1000000 + halfRate - 1) / halfRate);
}

std::optional<std::string> WindowsDeviceName(std::string_view name) {
    if (name.size() >= 4 && IsSlash(name[0]) && IsSlash(name[1]) && name[2] == '.' &&
        IsSlash(name[3])) {
        name.remove_prefix(4);
    }
    if (name.empty() || HasControlByte(name)) return std::nullopt;
    if (name.find_first_of("\\/:") != std::string_view::npos) return std::nullopt;
    return std::string(name);
}

}  // namespace brinmoor
