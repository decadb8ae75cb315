#include "common/text.h"

#include <cctype>
#include <limits>

namespace brinmoor {
namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string AsciiUpper(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = Upper(c);
    return result;
}

std::string AsciiLower(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = Lower(c);
    return result;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
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

}  // namespace brinmoor
