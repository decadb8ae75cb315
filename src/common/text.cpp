#include "common/text.h"

#include <cctype>
#include <limits>

namespace brinmoor {
namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsControlByte(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

}  // namespace

char AsciiLowerChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string AsciiUpper(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = Upper(c);
    return result;
}

std::string AsciiLower(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = AsciiLowerChar(c);
    return result;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLowerChar(a[i]) != AsciiLowerChar(b[i])) return false;
    }
    return true;
}

std::optional<std::int32_t> ParseLeadingInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t firstDigit = i;
    std::int64_t value = 0;
    bool overflow = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (!overflow) {
            value = value * 10 + (text[i] - '0');
            if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) overflow = true;
        }
        ++i;
    }
    if (i == firstDigit || overflow) return std::nullopt;
    if (negative) value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::optional<std::uint64_t> ParseDigits(std::string_view text, std::size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits || maxDigits > 18) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

bool HasControlByte(std::string_view text) {
    for (char c : text) {
        if (IsControlByte(c)) return true;
    }
    return false;
}

std::string EscapeControlBytes(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (!IsControlByte(c)) {
            result.push_back(c);
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        result += "\\u00";
        result.push_back(kHex[byte >> 4]);
        result.push_back(kHex[byte & 0xF]);
    }
    return result;
}

}  // namespace brinmoor
