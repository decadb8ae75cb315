#include "config/json.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "common/text.h"

namespace brinmoor {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool StartsWithIgnoreCase(std::string_view text, std::size_t at, std::string_view word) {
    if (text.size() - at < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (AsciiLowerChar(text[at + i]) != word[i]) return false;
    }
    return true;
}

// Reads digits (of the given kind) with at most one period among them; returns
// the index past them and how many digits it saw.
template <typename IsDigitFn>
std::size_t ScanMantissa(std::string_view text, std::size_t at, IsDigitFn isDigit,
                         std::size_t& digits) {
    digits = 0;
    bool period = false;
    while (at < text.size()) {
        if (isDigit(text[at])) {
            ++digits;
        } else if (text[at] == '.' && !period) {
            period = true;
        } else {
            break;
        }
        ++at;
    }
    return at;
}

// An exponent marker, an optional sign and at least one decimal digit, or
// nothing at all.
std::size_t ScanExponent(std::string_view text, std::size_t at, char marker) {
    if (at >= text.size() || AsciiLowerChar(text[at]) != marker) return at;
    std::size_t i = at + 1;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (i >= text.size() || !IsDigit(text[i])) return at;
    while (i < text.size() && IsDigit(text[i])) ++i;
    return i;
}

// Whether a finite number written as a mantissa (decimal or hexadecimal) and
// an exponent is at least one in magnitude. Used only to tell an overflow from
// an underflow, so a rough answer is enough.
bool MagnitudeAtLeastOne(std::string_view mantissa, std::string_view exponent, bool hex) {
    long lead = 0;  // place of the leading non-zero digit; 0 is the units place
    bool inFraction = false;
    long intDigits = 0;
    long fractionZeros = 0;
    bool found = false;
    for (char c : mantissa) {
        if (c == '.') {
            inFraction = true;
            continue;
        }
        const bool zero = c == '0';
        if (!inFraction) {
            if (found || !zero) {
                found = true;
                ++intDigits;
            }
        } else if (!found) {
            if (!zero) {
                found = true;
                lead = -(fractionZeros + 1);
                break;
            }
            ++fractionZeros;
        }
    }
    if (!found) return false;
    if (intDigits > 0) lead = intDigits - 1;
    long exp = 0;
    if (!exponent.empty()) {
        std::size_t i = 1;
        bool negative = false;
        if (exponent[i] == '+' || exponent[i] == '-') negative = exponent[i++] == '-';
        for (; i < exponent.size(); ++i) {
            if (exp < 1000000) exp = exp * 10 + (exponent[i] - '0');
        }
        if (negative) exp = -exp;
    }
    return (hex ? lead * 4 : lead) + exp >= 0;
}

template <typename Float>
struct NumberScan {
    std::size_t length = 0;  // 0: no number could be read
    Float value = 0;
    bool rangeError = false;
};

// Reads a number the way the standard decimal floating-point conversion does
// in the classic locale: optional sign, decimal or hexadecimal digits with an
// optional fraction and exponent, infinity or NaN. Written out here so that
// neither the process locale nor the platform's C library changes the result.
template <typename Float>
NumberScan<Float> ScanNumber(std::string_view text, std::size_t start) {
    NumberScan<Float> scan;
    std::size_t i = start;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const auto finish = [&](std::size_t end, Float magnitude) {
        scan.length = end - start;
        scan.value = negative ? -magnitude : magnitude;
        return scan;
    };
    if (StartsWithIgnoreCase(text, i, "inf")) {
        const std::size_t end = StartsWithIgnoreCase(text, i, "infinity") ? i + 8 : i + 3;
        return finish(end, std::numeric_limits<Float>::infinity());
    }
    if (StartsWithIgnoreCase(text, i, "nan")) {
        std::size_t end = i + 3;
        if (end < text.size() && text[end] == '(') {
            std::size_t j = end + 1;
            while (j < text.size() &&
                   (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_')) {
                ++j;
            }
            if (j < text.size() && text[j] == ')') end = j + 1;
        }
        return finish(end, std::numeric_limits<Float>::quiet_NaN());
    }
    bool hex = false;
    std::size_t mantissaStart = i;
    std::size_t digits = 0;
    std::size_t mantissaEnd = i;
    if (i + 1 < text.size() && text[i] == '0' && AsciiLowerChar(text[i + 1]) == 'x') {
        mantissaEnd = ScanMantissa(text, i + 2, IsHexDigit, digits);
        if (digits > 0) {
            hex = true;
            mantissaStart = i + 2;
        }
    }
    if (!hex) {
        mantissaEnd = ScanMantissa(text, i, IsDigit, digits);
        if (digits == 0) return scan;
    }
    const std::size_t end = ScanExponent(text, mantissaEnd, hex ? 'p' : 'e');
    const char* first = text.data() + mantissaStart;
    const char* last = text.data() + end;
    Float magnitude = 0;
    const auto result = std::from_chars(first, last, magnitude,
                                        hex ? std::chars_format::hex : std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        scan.rangeError = true;
        const std::string_view mantissa = text.substr(mantissaStart, mantissaEnd - mantissaStart);
        const std::string_view exponent = text.substr(mantissaEnd, end - mantissaEnd);
        magnitude = MagnitudeAtLeastOne(mantissa, exponent, hex)
                        ? std::numeric_limits<Float>::infinity()
                        : Float{0};
    }
    return finish(end, magnitude);
}

[[noreturn]] void ThrowExpectedQuote() {
    throw std::runtime_error("expected '\"'");
}

JsonValue ReadValue(std::string_view text, std::size_t& position, int depth);

// depth counts the objects already open around this one.
JsonValue ReadObject(std::string_view text, std::size_t& position, int depth) {
    if (position >= text.size() || text[position] != '{') {
        throw std::runtime_error("expected '{'");
    }
    // Each level is one more recursive call; a bound keeps a hostile document
    // from exhausting the stack.
    if (depth >= kMaxJsonDepth) throw std::runtime_error("nesting too deep");
    ++position;
    JsonValue object;
    object.kind = JsonKind::Object;
    SkipJsonSpace(text, position);
    if (position >= text.size()) return object;
    for (;;) {
        if (text[position] == '}') {
            ++position;
            return object;
        }
        SkipJsonSpace(text, position);
        if (position >= text.size() || text[position] != '"') ThrowExpectedQuote();
        std::string key = ParseJsonString(text, position);
        SkipJsonSpace(text, position);
        if (position < text.size() && text[position] == ':') ++position;
        SkipJsonSpace(text, position);
        object.members[std::move(key)] = ReadValue(text, position, depth + 1);
        SkipJsonSpace(text, position);
        if (position < text.size() && text[position] == ',') ++position;
        SkipJsonSpace(text, position);
        if (position >= text.size()) return object;
    }
}

JsonValue ReadValue(std::string_view text, std::size_t& position, int depth) {
    SkipJsonSpace(text, position);
    JsonValue value;
    if (position >= text.size()) return value;
    const std::string_view rest = text.substr(position);
    if (rest.front() == '{') return ReadObject(text, position, depth);
    if (rest.front() == '"') {
        value.kind = JsonKind::String;
        value.text = ParseJsonString(text, position);
        return value;
    }
    if (rest.starts_with("null")) {
        position += 4;
        return value;
    }
    if (rest.starts_with("true") || rest.starts_with("false")) {
        value.kind = JsonKind::Bool;
        value.flag = rest.front() == 't';
        position += value.flag ? 4 : 5;
        return value;
    }
    // A range error keeps the converted value (infinity or zero).
    const NumberScan<double> number = ScanNumber<double>(text, position);
    if (number.length == 0) {
        // A character that begins no value is passed over as a null value.
        ++position;
        return value;
    }
    position += number.length;
    value.kind = JsonKind::Number;
    value.number = number.value;
    return value;
}

}  // namespace

void SkipJsonSpace(std::string_view text, std::size_t& position) {
    while (position < text.size()) {
        const char c = text[position];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
        ++position;
    }
}

std::string ParseJsonString(std::string_view text, std::size_t& position) {
    if (position >= text.size() || text[position] != '"') ThrowExpectedQuote();
    ++position;
    std::string result;
    while (position < text.size() && text[position] != '"') {
        // A backslash takes the next byte literally; a final one is kept.
        if (text[position] == '\\' && position + 1 < text.size()) ++position;
        result.push_back(text[position]);
        ++position;
    }
    if (position < text.size()) ++position;
    return result;
}

JsonValue ParseJsonValue(std::string_view text, std::size_t& position) {
    return ReadValue(text, position, 0);
}

JsonValue ParseJsonDocument(std::string_view text) {
    std::size_t position = 0;
    SkipJsonSpace(text, position);
    return ParseJsonValue(text, position);
}

const JsonValue& JsonMember(const JsonValue& value, std::string_view key) {
    // Created once, even when several threads ask first; never changed.
    static const JsonValue sharedNull;
    const auto found = value.members.find(std::string(key));
    return found == value.members.end() ? sharedNull : found->second;
}

bool JsonHasMember(const JsonValue& value, std::string_view key) {
    return value.kind == JsonKind::Object && value.members.count(std::string(key)) > 0;
}

std::string JsonText(const JsonValue& value) {
    return value.kind == JsonKind::String ? value.text : std::string();
}

std::int32_t JsonToInt(const JsonValue& value, std::int32_t fallback) {
    if (value.kind == JsonKind::Number) {
        const double number = value.number;
        // Written so that NaN fails the test as well.
        if (!(number > -2147483649.0 && number < 2147483648.0)) {
            return std::numeric_limits<std::int32_t>::min();
        }
        return static_cast<std::int32_t>(number);
    }
    if (value.kind == JsonKind::String) return ParseLeadingInt(value.text).value_or(fallback);
    return fallback;
}

float JsonToFloat(const JsonValue& value, float fallback) {
    if (value.kind == JsonKind::Number) {
        // Converting a double beyond float's range is undefined in C++; give
        // the infinity that IEEE rounding gives.
        if (std::fabs(value.number) > std::numeric_limits<float>::max()) {
            return std::copysign(std::numeric_limits<float>::infinity(),
                                 static_cast<float>(value.number > 0 ? 1 : -1));
        }
        return static_cast<float>(value.number);
    }
    if (value.kind != JsonKind::String) return fallback;
    const std::string& text = value.text;
    std::size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    const NumberScan<float> number = ScanNumber<float>(text, start);
    if (number.length == 0 || number.rangeError) return fallback;
    return number.value;
}

std::string JsonEscape(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c == '"' || c == '\\') result.push_back('\\');
        result.push_back(c);
    }
    return EscapeControlBytes(result);
}

}  // namespace brinmoor
