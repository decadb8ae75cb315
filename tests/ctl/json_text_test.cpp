// The text-level JSON helpers of brinmoorctl: the layout of PORTS, the
// document as it goes on the wire, and the standard-JSON check.
#include "json_text.h"

#include <gtest/gtest.h>

namespace brinmoor {
namespace {

TEST(JsonTextTest, PrettyJsonIndentsNestedObjectsAndLeavesStringsAlone) {
    EXPECT_EQ(PrettyJson("{}"), "{}");
    EXPECT_EQ(PrettyJson(R"({"a":{"b":1},"c":{ }})"),
              "{\n  \"a\": {\n    \"b\": 1\n  },\n  \"c\": {}\n}");
    // Punctuation inside strings is text, not structure.
    EXPECT_EQ(PrettyJson(R"({"com":"a,b:{c}\"d"})"), "{\n  \"com\": \"a,b:{c}\\\"d\"\n}");
}

TEST(JsonTextTest, MinifyRemovesOnlyTheBlanksTheServerSkips) {
    const std::string document =
        "{\r\n  \"ports\" : {\n\t\"CAT\": {\"port\": \"COM 3\", \"baud\": 9600}\n  }\n}\n";
    EXPECT_EQ(MinifyJson(document), R"({"ports":{"CAT":{"port":"COM 3","baud":9600}}})");

    // Escaped quotes stay inside their string; blanks in names stay.
    EXPECT_EQ(MinifyJson("{ \"name\" : \"a \\\" b\" }"), "{\"name\":\"a \\\" b\"}");
    // Two words are never run together into one.
    EXPECT_EQ(MinifyJson("[1 2, true  false]"), "[1 2,true false]");
    // Other control characters are no blanks to the server and stay.
    EXPECT_EQ(MinifyJson("{\f}"), "{\f}");
}

TEST(JsonTextTest, StrictCheckAcceptsStandardJsonAndNamesWhereAndWhatIsNot) {
    EXPECT_EQ(StrictJsonProblem(R"({"a": [1, -2.5e3, true, false, null, "x\u00e9\n"], "b": {}})"),
              "");
    EXPECT_EQ(StrictJsonProblem("  {}\r\n"), "");
    const std::pair<const char*, const char*> cases[] = {
        {"{\"a\": 1,}", "line 1, column 9: a comma before '}'"},
        {"{\n  \"a\": {\"b\": 1}\n",
         "line 3, column 1: the document ends inside an object: '}' missing"},
        {"{'a': 1}", "line 1, column 2: a member name in double quotes expected"},
        {"{\"a\": even}",
         "line 1, column 7: unexpected character 'e' (texts need double quotes; numbers, "
         "true, false and null do not)"},
        {"{\"a\": \"x", "line 1, column 7: a text that is never closed: '\"' missing"},
        {"{\"a\": 9600x}", "line 1, column 11: a number runs into other characters"},
        {"{\"a\": \"x\ny\"}", "line 1, column 9: a line break or control character inside a text"},
        {"{\"a\": \"\\q\"}", "line 1, column 9: unknown escape '\\q'"},
        {"", "line 1, column 1: the document ends where a value should follow"},
    };
    for (const auto& [text, problem] : cases) EXPECT_EQ(StrictJsonProblem(text), problem) << text;
    std::string deep(100, '[');
    deep += std::string(100, ']');
    EXPECT_NE(StrictJsonProblem(deep).find("nested too deeply"), std::string::npos);
}

}  // namespace
}  // namespace brinmoor
