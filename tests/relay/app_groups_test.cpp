#include "relay/app_groups.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>

#include "config/json.h"

namespace brinmoor {
namespace {

using Names = std::map<std::int32_t, std::string>;

struct ReadResult {
    Names names;
    AppGroupTable table;
};

ReadResult Read(const std::string& json) {
    ReadResult result;
    ReadExtGroups(ParseJsonDocument(json), result.names, result.table);
    return result;
}

TEST(ReadExtGroupsTest, EmptyOrNonObjectDocumentsConfigureNothing) {
    for (const char* json : {"{}", "\"groups\"", "5", "null"}) {
        SCOPED_TRACE(json);
        const ReadResult result = Read(json);
        EXPECT_TRUE(result.names.empty());
        EXPECT_TRUE(result.table.empty());
    }
}

TEST(ReadExtGroupsTest, NamesComeFromNameOrFromTheKeyAsWritten) {
    const ReadResult result = Read(R"({
        "1": {"name": "Logger"},
        "07": {},
        "8": {"name": ""},
        "9": {"name": 12},
        "-1": {"name": "Nobody"},
        "2x": {"cat": {"port": "COM9"}},
        "3": "not an object"})");
    const Names expected{{-1, "Nobody"},  {1, "Logger"}, {2, "Group 2x"}, {3, "Group 3"},
                         {7, "Group 07"}, {8, ""},       {9, "Group 9"}};
    EXPECT_EQ(result.names, expected);
    // Only the member with a usable port becomes a group.
    ASSERT_EQ(result.table.size(), 1u);
    EXPECT_TRUE(result.table.at(2).catEnabled);
    EXPECT_EQ(result.table.at(2).cat.port, "COM9");
}

TEST(ReadExtGroupsTest, UnusablePortsDisableTheirKind) {
    const ReadResult result = Read(R"({"4": {
        "cat": {"port": "NONE"}, "ptt": {"port": "none"}, "cw": {"port": ""},
        "winkey": {"port": 5}, "fsk": {"baud": 50}}})");
    EXPECT_EQ(result.names.at(4), "Group 4");
    EXPECT_TRUE(result.table.empty());
}

TEST(ReadExtGroupsTest, EachKindHasItsDefaultBaudAndReadsItsSettings) {
    const ReadResult result = Read(R"({"5": {
        "cat": {"port": "COM1"}, "ptt": {"port": "COM2", "flow": "RTS"}, "cw": {"port": "COM3"},
        "winkey": {"port": "COM4"}, "fsk": {"port": "COM5"}},
        "6": {"fsk": {"port": "COM6", "baud": 50, "bytesize": 5, "parity": "even",
                      "stopbits": 1.5, "flow": "dtr/rts"},
              "winkey": {"port": "NONE", "baud": 9600}}})");
    const AppGroup& five = result.table.at(5);
    EXPECT_TRUE(five.catEnabled && five.pttEnabled && five.cwEnabled && five.winkeyEnabled &&
                five.fskEnabled);
    EXPECT_EQ(five.cat.baud, 38400);
    EXPECT_EQ(five.ptt.baud, 38400);
    EXPECT_EQ(five.cw.baud, 38400);
    EXPECT_EQ(five.winkey.baud, 1200);
    EXPECT_EQ(five.fsk.baud, 45);
    EXPECT_EQ(five.ptt.flow, "RTS");
    EXPECT_EQ(five.cw.flow, "DTR");

    const AppGroup& six = result.table.at(6);
    EXPECT_FALSE(six.catEnabled || six.pttEnabled || six.cwEnabled || six.winkeyEnabled);
    EXPECT_EQ(six.winkey.baud, 38400);  // a disabled kind keeps the plain defaults
    ASSERT_TRUE(six.fskEnabled);
    EXPECT_EQ(six.fsk.port, "COM6");
    EXPECT_EQ(six.fsk.baud, 50);
    EXPECT_EQ(six.fsk.bytesize, 5);
    EXPECT_EQ(six.fsk.parity, 'E');
    EXPECT_FLOAT_EQ(six.fsk.stopbits, 1.5f);
    EXPECT_EQ(six.fsk.flow, "dtr/rts");
}

TEST(ReadExtGroupsTest, KeysOfOneNumberAreReadInKeyOrder) {
    // "01" comes before "1": its name is replaced; its record only by a later
    // member that enables a kind.
    ReadResult result = Read(R"({"01": {"name": "First", "cat": {"port": "COM1"}},
                                 "1": {"name": "Second"}})");
    EXPECT_EQ(result.names.at(1), "Second");
    ASSERT_EQ(result.table.count(1), 1u);
    EXPECT_EQ(result.table.at(1).cat.port, "COM1");

    result = Read(R"({"01": {"cat": {"port": "COM1"}, "ptt": {"port": "COM2"}},
                      "1": {"fsk": {"port": "COM3"}}})");
    const AppGroup& one = result.table.at(1);
    EXPECT_FALSE(one.catEnabled || one.pttEnabled);  // the whole record is replaced
    EXPECT_TRUE(one.fskEnabled);
}

TEST(ReadExtGroupsTest, GroupsAreOrderedByNumberWhateverTheKeyOrder) {
    const ReadResult result =
        Read(R"({"10": {"cat": {"port": "COM1"}}, "9": {"cat": {"port": "COM2"}},
                 " +3": {"cat": {"port": "COM3"}}})");
    std::vector<std::int32_t> numbers;
    for (const auto& [number, group] : result.table) numbers.push_back(number);
    EXPECT_EQ(numbers, (std::vector<std::int32_t>{3, 9, 10}));
    EXPECT_EQ(result.names.at(3), "Group  +3");
}

TEST(ReadExtGroupsTest, KeyWithoutANumberThrowsAndKeepsTheNamesReadBeforeIt) {
    Names names;
    AppGroupTable table;
    EXPECT_THROW(ReadExtGroups(ParseJsonDocument(R"({"1": {"name": "A"}, "2": {"cat": {"port":
                                 "COM2"}}, "3": {"name": "C"}, "abc": {"name": "B"}, "b": {}})"),
                               names, table),
                 std::invalid_argument);
    // Members are visited in key order: "3" before "abc", "b" never.
    EXPECT_EQ(names, (Names{{1, "A"}, {2, "Group 2"}, {3, "C"}}));

    for (const char* json : {R"({"": {}})", R"({"-": {}})", R"({"x1": {}})"}) {
        SCOPED_TRACE(json);
        EXPECT_THROW(Read(json), std::invalid_argument);
    }
    for (const char* json :
         {R"({"2147483648": {}})", R"({"-2147483649": {}})", R"({"99999999999999999999": {}})"}) {
        SCOPED_TRACE(json);
        EXPECT_THROW(Read(json), std::out_of_range);
    }
    const ReadResult limits = Read(R"({"2147483647": {}, "-2147483648": {}})");
    EXPECT_EQ(limits.names.size(), 2u);
    EXPECT_EQ(limits.names.count(-2147483647 - 1), 1u);
}

}  // namespace
}  // namespace brinmoor
