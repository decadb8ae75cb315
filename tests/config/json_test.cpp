#include "config/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace brinmoor {
namespace {

const std::string kExpectedQuote = "expected '\"'";
const std::string kExpectedBrace = "expected '{'";
const std::string kTooDeep = "nesting too deep";

JsonValue Parse(std::string_view text) {
    return ParseJsonDocument(text);
}

// The message of the runtime error the parse raises; empty when it raises none.
std::string ParseError(std::string_view text) {
    try {
        Parse(text);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return {};
}

JsonValue String(std::string text) {
    JsonValue value;
    value.kind = JsonKind::String;
    value.text = std::move(text);
    return value;
}

JsonValue Number(double number) {
    JsonValue value;
    value.kind = JsonKind::Number;
    value.number = number;
    return value;
}

// One value read from the start of the text, and where the reader stopped.
struct ReadResult {
    JsonValue value;
    std::size_t position;
};

ReadResult ReadOne(std::string_view text) {
    std::size_t position = 0;
    JsonValue value = ParseJsonValue(text, position);
    return {std::move(value), position};
}

TEST(JsonObject, RepeatedKeyKeepsTheLaterValueAndMembersIterateInKeyOrder) {
    const JsonValue doc = Parse(R"({"a":1,"a":2})");
    ASSERT_EQ(doc.kind, JsonKind::Object);
    ASSERT_EQ(doc.members.size(), 1u);
    EXPECT_EQ(JsonMember(doc, "a").number, 2.0);

    // Keys compare as unsigned bytes; a prefix comes before its extensions.
    const JsonValue ordered = Parse("{\"b\":1,\"a\":2,\"\xc3\xa9\":3,\"ab\":4,\"Z\":5}");
    std::vector<std::string> keys;
    for (const auto& [key, value] : ordered.members) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"Z", "a", "ab", "b", "\xc3\xa9"}));
}

TEST(JsonObject, ColonsAndCommasAreOptional) {
    const JsonValue doc = Parse(R"({"port" "COM3" "baud" 9600})");
    EXPECT_EQ(JsonMember(doc, "port").text, "COM3");
    EXPECT_EQ(JsonMember(doc, "baud").number, 9600.0);

    EXPECT_EQ(JsonMember(Parse(R"({"a":1,})"), "a").number, 1.0);
    EXPECT_EQ(Parse(" {\r\n\t\"a\" :\n 1 ,\r\n}").members.size(), 1u);
}

TEST(JsonObject, MalformedKeysRaiseExpectedQuote) {
    EXPECT_EQ(ParseError(R"({"a":1,,)"), kExpectedQuote);
    EXPECT_EQ(ParseError("{ 5 }"), kExpectedQuote);
    // The n of nope is a null value for "n"; the o after it begins no key.
    EXPECT_EQ(ParseError(R"({"n":nope})"), kExpectedQuote);
    EXPECT_EQ(ParseError(R"({"t":True})"), kExpectedQuote);
    EXPECT_EQ(ParseError(R"({"a":1 'b':2})"), kExpectedQuote);
}

TEST(JsonObject, UnfinishedTextEndsQuietly) {
    EXPECT_EQ(JsonMember(Parse(R"({"a":1)"), "a").number, 1.0);

    const JsonValue keyOnly = Parse(R"({"a")");
    ASSERT_TRUE(JsonHasMember(keyOnly, "a"));
    EXPECT_EQ(JsonMember(keyOnly, "a").kind, JsonKind::Null);

    const JsonValue lone = Parse("{");
    EXPECT_EQ(lone.kind, JsonKind::Object);
    EXPECT_TRUE(lone.members.empty());

    const JsonValue nested = Parse(R"({"ports":{"CAT":{"port":"COM)");
    EXPECT_EQ(JsonMember(JsonMember(JsonMember(nested, "ports"), "CAT"), "port").text, "COM");
}

TEST(JsonObject, ReadersReportWhereTheyStopped) {
    std::size_t position = 2;
    const JsonValue object = ParseJsonObject(R"(x {"a":{}} tail)", position);
    EXPECT_EQ(object.members.size(), 1u);
    EXPECT_EQ(position, 10u);

    position = 0;
    EXPECT_EQ(ParseJsonString(R"("ab"cd)", position), "ab");
    EXPECT_EQ(position, 4u);

    position = 1;
    SkipJsonSpace(" \t\r\n\v x", position);
    EXPECT_EQ(position, 4u);  // a vertical tab is no JSON blank
}

TEST(JsonObject, ReadersRefuseTheWrongFirstCharacter) {
    std::size_t position = 0;
    try {
        ParseJsonObject("[1]", position);
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), kExpectedBrace);
    }
    position = 3;
    EXPECT_THROW(ParseJsonObject("{}", position), std::runtime_error);
    position = 0;
    try {
        ParseJsonString("abc", position);
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), kExpectedQuote);
    }
}

TEST(JsonString, BackslashTakesTheNextByteLiterally) {
    // x \" y \\ z \n -> x " y \ z n
    EXPECT_EQ(Parse(R"("x\"y\\z\n")").text, "x\"y\\zn");
    // Unterminated; a final backslash is kept.
    EXPECT_EQ(Parse(R"("abc\)").text, "abc\\");
    EXPECT_EQ(Parse(R"("abc)").text, "abc");
    // Bytes pass through, UTF-8 and control characters alike.
    EXPECT_EQ(Parse("\"\xe2\x80\x94\t\x01\"").text, "\xe2\x80\x94\t\x01");
    EXPECT_EQ(Parse("\"\"").kind, JsonKind::String);
}

TEST(JsonString, EscapedTextReadsBackUnchanged) {
    for (const std::string& text :
         {std::string("plain"), std::string("COM\"3"), std::string("\\\\.\\COM10"),
          std::string("\\"), std::string("\"\""), std::string("a\\\"b"), std::string()}) {
        std::string quoted = "\"";
        quoted += JsonEscape(text);
        quoted += "\"";
        EXPECT_EQ(Parse(quoted).text, text) << text;
    }
    EXPECT_EQ(JsonEscape(R"(a"b\c)"), R"(a\"b\\c)");
    EXPECT_EQ(JsonEscape("COM3"), "COM3");
    // Control bytes (NUL and DEL included) are written as JSON does: one line.
    EXPECT_EQ(JsonEscape(std::string("a\x1b[2J\n\x7f\0b", 9)), "a\\u001b[2J\\u000a\\u007f\\u0000b");
}

TEST(JsonNumber, ReadsTheStandardDecimalForms) {
    EXPECT_EQ(JsonMember(Parse(R"({"n":-1.5e2})"), "n").number, -150.0);
    EXPECT_EQ(JsonMember(Parse(R"({"n":007})"), "n").number, 7.0);

    const struct {
        const char* text;
        double number;
        std::size_t consumed;
    } cases[] = {
        {"+5", 5.0, 2},     {".5", 0.5, 2},      {"5.", 5.0, 2},     {"1.2.3", 1.2, 3},
        {"1e5x", 1e5, 3},   {"1e", 1.0, 1},      {"1e+", 1.0, 1},    {"2E-1", 0.2, 4},
        {"0x10", 16.0, 4},  {"0X1.8p1", 3.0, 7}, {"0x", 0.0, 1},     {"0xg", 0.0, 1},
        {"-0x.8", -0.5, 5}, {"0x1p", 1.0, 3},    {"12abc", 12.0, 2}, {"-0", 0.0, 2},
    };
    for (const auto& c : cases) {
        const ReadResult read = ReadOne(c.text);
        EXPECT_EQ(read.value.kind, JsonKind::Number) << c.text;
        EXPECT_DOUBLE_EQ(read.value.number, c.number) << c.text;
        EXPECT_EQ(read.position, c.consumed) << c.text;
    }
}

TEST(JsonNumber, InfinitiesNansAndRangeErrors) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(ReadOne("inf").value.number, inf);
    EXPECT_EQ(ReadOne("-Infinity,").value.number, -inf);
    EXPECT_EQ(ReadOne("-Infinity,").position, 9u);
    EXPECT_EQ(ReadOne("infin").position, 3u);
    EXPECT_TRUE(std::isnan(ReadOne("NaN").value.number));
    EXPECT_EQ(ReadOne("nan(0x1_a)z").position, 10u);
    EXPECT_EQ(ReadOne("nan(ab").position, 3u);
    EXPECT_EQ(ReadOne("nan(a-b)").position, 3u);

    // A range error keeps the converted value.
    EXPECT_EQ(ReadOne("1e999").value.number, inf);
    EXPECT_EQ(ReadOne("-123456789e400").value.number, -inf);
    EXPECT_EQ(ReadOne("0x1p99999").value.number, inf);
    EXPECT_EQ(ReadOne("1e-999").value.number, 0.0);
    EXPECT_EQ(ReadOne("0.0001e-400").value.number, 0.0);
    const std::string_view hugeExponent = "1e99999999999999999999999";
    EXPECT_EQ(ReadOne(hugeExponent).value.number, inf);
    EXPECT_EQ(ReadOne(hugeExponent).position, hugeExponent.size());
}

TEST(JsonValueReader, LiteralsAndCharactersThatBeginNoValue) {
    const JsonValue doc = Parse(R"({"t":true,"f":false,"z":null})");
    EXPECT_EQ(JsonMember(doc, "t").kind, JsonKind::Bool);
    EXPECT_TRUE(JsonMember(doc, "t").flag);
    EXPECT_EQ(JsonMember(doc, "f").kind, JsonKind::Bool);
    EXPECT_FALSE(JsonMember(doc, "f").flag);
    EXPECT_EQ(JsonMember(doc, "z").kind, JsonKind::Null);
    EXPECT_TRUE(JsonHasMember(doc, "z"));

    // Literals do not look at what follows them.
    EXPECT_EQ(ReadOne("nullx").position, 4u);
    EXPECT_EQ(ReadOne("truex").position, 4u);
    EXPECT_EQ(ReadOne("falsey").position, 5u);
    // Anything else that begins no value is passed over one byte at a time.
    for (const char* text : {"[", "]", ":", "x", "-", "+", ".", "nul", "tru", "-x", "\v"}) {
        const ReadResult read = ReadOne(text);
        EXPECT_EQ(read.value.kind, JsonKind::Null) << text;
        EXPECT_EQ(read.position, 1u) << text;
    }
}

TEST(JsonValueReader, DocumentsThatAreNoObject) {
    EXPECT_EQ(Parse("").kind, JsonKind::Null);
    EXPECT_EQ(Parse(" \t\r\n ").kind, JsonKind::Null);
    EXPECT_EQ(Parse("[").kind, JsonKind::Null);
    EXPECT_EQ(Parse("[{\"a\":1}]").kind, JsonKind::Null);
    EXPECT_EQ(Parse(" 42 ").number, 42.0);
    // Text after the first complete value is ignored, however broken.
    const JsonValue doc = Parse("\r\n{\"a\":1} {5 garbage");
    EXPECT_EQ(JsonMember(doc, "a").number, 1.0);
    EXPECT_EQ(doc.members.size(), 1u);
}

TEST(JsonDepth, SixtyFourLevelsReadDeeperOnesFail) {
    const auto nested = [](int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i) text += "{\"k\":";
        text += "1";
        return text;  // left unterminated: the reader accepts that
    };
    const JsonValue deepest = Parse(nested(kMaxJsonDepth));
    const JsonValue* level = &deepest;
    for (int i = 0; i < kMaxJsonDepth; ++i) {
        ASSERT_EQ(level->kind, JsonKind::Object) << i;
        level = &JsonMember(*level, "k");
    }
    EXPECT_EQ(level->number, 1.0);

    EXPECT_EQ(ParseError(nested(kMaxJsonDepth + 1)), kTooDeep);
    // Far too deep for the stack if each level were followed: fails cleanly.
    EXPECT_EQ(ParseError(nested(200000)), kTooDeep);
    EXPECT_EQ(ParseError(std::string(200000, '{')), kExpectedQuote);

    // Siblings do not add up: only the nesting counts.
    std::string wide = "{";
    for (int i = 0; i < 200; ++i)
        wide += "\"k" + std::to_string(i) + "\":" + nested(60) + std::string(60, '}');
    EXPECT_EQ(ParseError(wide), "");
    EXPECT_EQ(Parse(wide).members.size(), 200u);
}

TEST(JsonAccessors, MissingMembersYieldTheOneSharedNull) {
    const JsonValue doc = Parse(R"({"ports":{"CAT":{"port":"COM3"}},"s":"text"})");
    const JsonValue& missing = JsonMember(doc, "nothing");
    EXPECT_EQ(missing.kind, JsonKind::Null);
    EXPECT_TRUE(missing.text.empty());
    EXPECT_TRUE(missing.members.empty());
    EXPECT_EQ(&JsonMember(JsonMember(JsonMember(doc, "x"), "CAT"), "port"), &missing);
    EXPECT_EQ(&JsonMember(JsonMember(doc, "s"), "port"), &missing);
    EXPECT_EQ(JsonMember(JsonMember(JsonMember(doc, "ports"), "CAT"), "port").text, "COM3");

    EXPECT_TRUE(JsonHasMember(doc, "s"));
    EXPECT_FALSE(JsonHasMember(doc, "S"));
    EXPECT_FALSE(JsonHasMember(JsonMember(doc, "s"), "s"));

    EXPECT_EQ(JsonText(JsonMember(doc, "s")), "text");
    EXPECT_EQ(JsonText(JsonMember(doc, "ports")), "");
    EXPECT_EQ(JsonText(Number(5)), "");

    // Every thread sees the same shared null.
    std::vector<const JsonValue*> seen(8, nullptr);
    std::vector<std::thread> threads;
    const JsonValue empty;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, &empty, i] { seen[i] = &JsonMember(empty, "x"); });
    }
    for (auto& thread : threads) thread.join();
    for (const JsonValue* value : seen) EXPECT_EQ(value, &missing);
}

TEST(JsonAccessors, ToIntTruncatesNumbersAndReadsLeadingDigits) {
    const std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
    EXPECT_EQ(JsonToInt(Number(3.9), 0), 3);
    EXPECT_EQ(JsonToInt(Number(-3.9), 0), -3);
    EXPECT_EQ(JsonToInt(Number(2147483647.9), 0), 2147483647);
    EXPECT_EQ(JsonToInt(Number(-2147483648.9), 0), lowest);
    EXPECT_EQ(JsonToInt(Number(2147483648.0), 0), lowest);
    EXPECT_EQ(JsonToInt(Number(1e12), 0), lowest);
    EXPECT_EQ(JsonToInt(Number(-1e12), 0), lowest);
    EXPECT_EQ(JsonToInt(Number(std::nan("")), 0), lowest);
    EXPECT_EQ(JsonToInt(Number(std::numeric_limits<double>::infinity()), 0), lowest);

    EXPECT_EQ(JsonToInt(String("12abc"), 0), 12);
    EXPECT_EQ(JsonToInt(String(" 8 bits"), 0), 8);
    EXPECT_EQ(JsonToInt(String("\t+7"), 0), 7);
    EXPECT_EQ(JsonToInt(String("-2147483648"), 0), lowest);
    EXPECT_EQ(JsonToInt(String("abc"), 99), 99);
    EXPECT_EQ(JsonToInt(String(""), 99), 99);
    EXPECT_EQ(JsonToInt(String("2147483648"), 99), 99);
    EXPECT_EQ(JsonToInt(String("99999999999999999999"), 99), 99);

    JsonValue flag;
    flag.kind = JsonKind::Bool;
    flag.flag = true;
    EXPECT_EQ(JsonToInt(flag, 99), 99);
    EXPECT_EQ(JsonToInt(JsonValue{}, 99), 99);
    EXPECT_EQ(JsonToInt(Parse("{}"), 99), 99);
}

TEST(JsonAccessors, ToFloatRoundsNumbersAndReadsDecimalText) {
    EXPECT_EQ(JsonToFloat(String("1.5"), 9.0f), 1.5f);
    EXPECT_EQ(JsonToFloat(String("2"), 9.0f), 2.0f);
    EXPECT_EQ(JsonToFloat(String(" 1.5 stop bits"), 9.0f), 1.5f);
    EXPECT_EQ(JsonToFloat(String("0x1.8p0"), 9.0f), 1.5f);
    EXPECT_EQ(JsonToFloat(String(""), 9.0f), 9.0f);
    EXPECT_EQ(JsonToFloat(String("one"), 9.0f), 9.0f);
    EXPECT_EQ(JsonToFloat(String("1e50"), 9.0f), 9.0f);  // out of single range
    EXPECT_EQ(JsonToFloat(String("-1e-60"), 9.0f), 9.0f);
    EXPECT_EQ(JsonToFloat(String("inf"), 9.0f), std::numeric_limits<float>::infinity());

    EXPECT_EQ(JsonToFloat(Number(2), 9.0f), 2.0f);
    EXPECT_EQ(JsonToFloat(Number(0.1), 9.0f), 0.1f);
    EXPECT_EQ(JsonToFloat(Number(1e300), 9.0f), std::numeric_limits<float>::infinity());
    EXPECT_EQ(JsonToFloat(Number(-1e300), 9.0f), -std::numeric_limits<float>::infinity());
    JsonValue flag;
    flag.kind = JsonKind::Bool;
    EXPECT_EQ(JsonToFloat(flag, 9.0f), 9.0f);
    EXPECT_EQ(JsonToFloat(JsonValue{}, 9.0f), 9.0f);
}

// Random and mutated documents: the reader never crashes and raises only its
// own parse errors.
TEST(JsonRobustness, RandomAndMutatedDocumentsRaiseOnlyParseErrors) {
    std::mt19937 random(20240611u);
    const auto below = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const std::vector<std::string> pieces = {
        "{",       "}",     "\"",
        ":",       ",",     "\\",
        " ",       "\r\n",  "\t",
        "[",       "]",     "true",
        "false",   "null",  "tru",
        "nul",     "-",     "+",
        ".",       "e",     "E",
        "0x",      "p",     "inf",
        "nan(",    ")",     "1",
        "0",       "9.5",   "1e308",
        "1e999",   "\"a\"", "\"port\"",
        "{\"",     "\":",   "\\\"",
        "x",       "\xff",  std::string(1, '\0'),
        "{\"k\":",
    };
    const std::vector<std::string> seeds = {
        R"({"ports":{"CAT":{"port":"COM3","baud":38400,"bytesize":8,"parity":"none",)"
        R"("stopbits":"1","flow":"DTR"},"PTT":{"port":"NONE"}},"ext_groups":{}})",
        "{\r\n  \"cat\": {\r\n    \"port\": \"COM3\",\r\n    \"baud\": 38400\r\n  }\r\n}\r\n",
        R"({"a":{"b":{"c":{"d":-1.5e-3,"e":"x\"y\\z"}}},"t":true,"f":false,"n":null})",
    };
    const std::vector<std::string> known = {kExpectedQuote, kExpectedBrace, kTooDeep};

    std::size_t parsed = 0;
    std::size_t refused = 0;
    const auto check = [&](const std::string& text) {
        try {
            std::size_t position = 0;
            ParseJsonValue(text, position);
            ASSERT_LE(position, text.size()) << text;
            ++parsed;
        } catch (const std::runtime_error& error) {
            ++refused;
            ASSERT_NE(std::find(known.begin(), known.end(), error.what()), known.end())
                << error.what();
        }
    };

    for (int round = 0; round < 100000; ++round) {
        // A random document built from pieces that mean something to the reader.
        std::string text;
        const std::size_t count = below(24);
        for (std::size_t i = 0; i < count; ++i) text += pieces[below(pieces.size())];
        check(text);
        if (testing::Test::HasFatalFailure()) return;

        // A well-formed document with a few bytes changed, dropped or added.
        std::string mutated = seeds[below(seeds.size())];
        const std::size_t edits = 1 + below(4);
        for (std::size_t i = 0; i < edits && !mutated.empty(); ++i) {
            const std::size_t at = below(mutated.size());
            switch (below(4)) {
                case 0:
                    mutated[at] = static_cast<char>(random());
                    break;
                case 1:
                    mutated.erase(at, 1 + below(8));
                    break;
                case 2:
                    mutated.insert(at, pieces[below(pieces.size())]);
                    break;
                default:
                    mutated.resize(at);
                    break;
            }
        }
        check(mutated);
        if (testing::Test::HasFatalFailure()) return;
    }
    // Both outcomes are common, so both paths were exercised.
    EXPECT_GT(parsed, 10000u);
    EXPECT_GT(refused, 10000u);
}

}  // namespace
}  // namespace brinmoor
