#pragma once
// Small text helpers shared by every layer.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brinmoor {

std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

// Reads a decimal integer the way the standard string-to-integer conversion
// does: leading white space skipped, an optional sign, digits up to the first
// other character. Empty when no digit can be read or the value does not fit
// in 32 bits.
std::optional<std::int32_t> ParseLeadingInt(std::string_view text);

}  // namespace brinmoor
