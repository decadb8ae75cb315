// The server's lenient JSON reader: what it makes of each kind of text, its
// depth bound and the escaping the server writes. Conversions of members are
// checked through the port settings test; random and mutated documents are
// the fuzz target's job (fuzz/json_fuzz.cpp).
#include "config/json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace brinmoor {
namespace {

// A value as short text: null, true, 1.5, "text" (unescaped), {key:value,...}
// in the order the members iterate.
std::string Render(const JsonValue& value) {
    if (value.kind == JsonKind::Null) return "null";
    if (value.kind == JsonKind::Bool) return value.flag ? "true" : "false";
    if (value.kind == JsonKind::String) return "\"" + value.text + "\"";
    if (value.kind == JsonKind::Number) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value.number);
        return text;
    }
    std::string text = "{";
    for (const auto& [key, member] : value.members) {
        text += (text.size() > 1 ? "," : "") + key + ":" + Render(member);
    }
    return text + "}";
}

// The document as Render gives it, or "!" and the parse error.
std::string Document(std::string_view text) {
    try {
        return Render(ParseJsonDocument(text));
    } catch (const std::runtime_error& error) {
        return std::string("!") + error.what();
    }
}

TEST(JsonReader, DocumentsAreReadLeniently) {
    const std::string quote = "!expected '\"'";
    const struct {
        const char* text;
        std::string read;
    } cases[] = {
        // A repeated key keeps the later value; keys iterate as unsigned bytes.
        {R"({"a":1,"a":2})", "{a:2}"},
        {"{\"b\":1,\"a\":2,\"\xc3\xa9\":3,\"ab\":4,\"Z\":5}", "{Z:5,a:2,ab:4,b:1,\xc3\xa9:3}"},
        // Colons and commas are optional; CR LF and tabs are blanks.
        {R"({"port" "COM3" "baud" 9600})", R"({baud:9600,port:"COM3"})"},
        {R"({"t":true,"f":false,"z":null})", "{f:false,t:true,z:null}"},
        // Only a key without its quote is an error. The n of nope is a null
        // value; the o after it begins no key.
        {R"({"a":1,,)", quote}, {"{ 5 }", quote}, {R"({"n":nope})", quote},
        // Unfinished text ends quietly.
        {R"({"a":1)", "{a:1}"}, {R"({"a")", "{a:null}"},
        {R"({"ports":{"CAT":{"port":"COM)", R"({ports:{CAT:{port:"COM"}}})"},
        // A backslash takes the next byte literally; a final one is kept;
        // other bytes pass through.
        {R"("x\"y\\z\n")", R"("x"y\zn")"}, {R"("abc\)", R"("abc\")"},
        {"\"\xe2\x80\x94\t\x01\"", "\"\xe2\x80\x94\t\x01\""},
        // No object; text after the first value is ignored, however broken.
        {"", "null"}, {"[{\"a\":1}]", "null"}, {" 42 ", "42"},
        {"\r\n{\"a\":1} {5 garbage", "{a:1}"},
    };
    for (const auto& c : cases) EXPECT_EQ(Document(c.text), c.read) << c.text;
}

TEST(JsonReader, ValuesAndWhereTheReaderStops) {
    const struct {
        std::string text;
        const char* read;
        std::size_t consumed;
    } cases[] = {
        // Numbers as the classic-locale decimal conversion reads them; a range
        // error keeps the converted value.
        {"-1.5e2", "-150", 6},  {"1.2.3", "1.2", 3},  {"1e5x", "100000", 3},
        {"1e+", "1", 1},        {"0x10", "16", 4},    {"-Infinity,", "-inf", 9},
        {"nan(0x1_a)z", "nan", 10}, {"1e999", "inf", 5}, {"1e-999", "0", 6},
        // Literals do not look at what follows them.
        {"nullx", "null", 4},   {"falsey", "false", 5},
        // Whatever begins no value is passed over one byte at a time; a
        // vertical tab is no blank.
        {"[", "null", 1},       {"-x", "null", 1},    {"tru", "null", 1}, {"\v", "null", 1},
    };
    for (const auto& c : cases) {
        std::size_t position = 0;
        EXPECT_EQ(Render(ParseJsonValue(c.text, position)), c.read) << c.text;
        EXPECT_EQ(position, c.consumed) << c.text;
    }
}

TEST(JsonReader, SixtyFourLevelsReadDeeperOnesFailCleanly) {
    const auto nested = [](int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i) text += "{\"k\":";
        return text + "1";  // left unterminated: the reader accepts that
    };
    std::string deepest = "1";
    for (int i = 0; i < kMaxJsonDepth; ++i) deepest = "{k:" + deepest + "}";
    EXPECT_EQ(Document(nested(kMaxJsonDepth)), deepest);
    EXPECT_EQ(Document(nested(kMaxJsonDepth + 1)), "!nesting too deep");
    // Far too deep for the stack if each level were followed.
    EXPECT_EQ(Document(nested(200000)), "!nesting too deep");
    EXPECT_EQ(Document(std::string(200000, '{')), "!expected '\"'");
    // Siblings do not add up: only the nesting counts.
    std::string wide = "{";
    for (int i = 0; i < 200; ++i) {
        wide += "\"k" + std::to_string(i) + "\":" + nested(60) + std::string(60, '}');
    }
    EXPECT_EQ(ParseJsonDocument(wide).members.size(), 200u);
}

// That escaped names read back unchanged is shown by the saved file's test.
TEST(JsonEscapeTest, QuotesBackslashesAndControlBytesAreEscaped) {
    EXPECT_EQ(JsonEscape(R"(a"b\c)"), R"(a\"b\\c)");
    // Control bytes (NUL and DEL included) are written as JSON does.
    EXPECT_EQ(JsonEscape(std::string("a\x1b[2J\n\x7f\0b", 9)), "a\\u001b[2J\\u000a\\u007f\\u0000b");
}

}  // namespace
}  // namespace brinmoor
