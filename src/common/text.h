#pragma once
// Small text helpers shared by every layer.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brinmoor {

char AsciiLowerChar(char c);
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

// Reads a decimal integer the way the standard string-to-integer conversion
// does: leading white space skipped, an optional sign, digits up to the first
// other character. Empty when no digit can be read or the value does not fit
// in 32 bits.
std::optional<std::int32_t> ParseLeadingInt(std::string_view text);

// Decimal digits only (no sign, no blanks), at most maxDigits (up to 18) of
// them; empty otherwise.
std::optional<std::uint64_t> ParseDigits(std::string_view text, std::size_t maxDigits);

// Bytes below 0x20 and 0x7F (DEL): they could break a log line, move the
// cursor of the terminal that shows it, or end a C string early (NUL).
bool HasControlByte(std::string_view text);
// The text with each such byte written as \u00XX, as JSON writes it; every
// other byte stays as it is. Names from outside are escaped so before they
// reach a log line, so that each line stays one line.
std::string EscapeControlBytes(std::string_view text);

}  // namespace brinmoor
