#pragma once
// The server's own lenient JSON reader. It knows objects, strings, numbers and
// the literals true, false and null; it has no arrays. Characters that begin
// no value are passed over, colons and commas are optional, and an unfinished
// object or string ends quietly at the end of the text. Only a member key that
// does not begin with a double quote is an error ("expected '\"'"), and a
// document nested deeper than kMaxJsonDepth objects.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace brinmoor {

enum class JsonKind { Null, String, Number, Bool, Object };

struct JsonValue {
    JsonKind kind = JsonKind::Null;
    std::string text;                        // String
    double number = 0.0;                     // Number
    bool flag = false;                       // Bool
    std::map<std::string, JsonValue> members;  // Object, ordered by key bytes
};

inline constexpr int kMaxJsonDepth = 64;

// Positions are byte indices; each reader leaves the position just past what
// it consumed. Errors are std::runtime_error.
JsonValue ParseJsonValue(std::string_view text, std::size_t& position);
std::string ParseJsonString(std::string_view text, std::size_t& position);
void SkipJsonSpace(std::string_view text, std::size_t& position);

// Skips the leading blanks and reads one value; text after it is ignored.
JsonValue ParseJsonDocument(std::string_view text);

// The member named by the key, or the shared null value.
const JsonValue& JsonMember(const JsonValue& value, std::string_view key);
bool JsonHasMember(const JsonValue& value, std::string_view key);

// The value's text when it is a String, else an empty text.
std::string JsonText(const JsonValue& value);

std::int32_t JsonToInt(const JsonValue& value, std::int32_t fallback);
float JsonToFloat(const JsonValue& value, float fallback);

// Escapes '"' and '\\' with a backslash, the only escapes the reader needs to
// read a text back unchanged, and writes control bytes as \u00XX so that the
// result is one line of valid JSON. The reader takes "\u" as a plain "u", so
// only texts without control bytes read back unchanged; the server never
// writes a port name that holds one.
std::string JsonEscape(std::string_view text);

}  // namespace brinmoor
