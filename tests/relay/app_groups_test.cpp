#include "relay/app_groups.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "config/json.h"

namespace brinmoor {
namespace {

using Names = std::map<std::int32_t, std::string>;

// The groups read from the document, one "number: kind=port@baud 8N1 flow"
// list per line, in the table's order.
std::string GroupsOf(const std::string& json, Names* names = nullptr) {
    Names read;
    AppGroupTable table;
    ReadExtGroups(ParseJsonDocument(json), read, table);
    if (names != nullptr) *names = read;
    std::ostringstream text;
    for (const auto& [number, group] : table) {
        text << number << ":";
        const auto kind = [&](const char* name, const PortSettings& port, bool enabled) {
            if (!enabled) return;
            text << " " << name << "=" << port.port << "@" << port.baud << " " << port.bytesize
                 << port.parity << port.stopbits << " " << port.flow;
        };
        kind("cat", group.cat, group.catEnabled);
        kind("ptt", group.ptt, group.pttEnabled);
        kind("cw", group.cw, group.cwEnabled);
        kind("winkey", group.winkey, group.winkeyEnabled);
        kind("fsk", group.fsk, group.fskEnabled);
        text << "\n";
    }
    return text.str();
}

TEST(ReadExtGroupsTest, MembersWithAUsablePortBecomeGroupsInNumberOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {"{}", ""},
        {"5", ""},
        {R"({"4": {"cat": {"port": "NONE"}, "ptt": {"port": "none"}, "cw": {"port": ""},
                   "winkey": {"port": 5}, "fsk": {"baud": 50}}})",
         ""},
        // Each kind has its own default baud rate.
        {R"({"5": {"cat": {"port": "COM1"}, "ptt": {"port": "COM2", "flow": "RTS"},
                   "cw": {"port": "COM3"}, "winkey": {"port": "COM4"}, "fsk": {"port": "COM5"}}})",
         "5: cat=COM1@38400 8N1 DTR ptt=COM2@38400 8N1 RTS cw=COM3@38400 8N1 DTR "
         "winkey=COM4@1200 8N1 DTR fsk=COM5@45 8N1 DTR\n"},
        {R"({"6": {"fsk": {"port": "COM6", "baud": 50, "bytesize": 5, "parity": "even",
                           "stopbits": 1.5, "flow": "dtr/rts"}}})",
         "6: fsk=COM6@50 5E1.5 dtr/rts\n"},
        {R"({"10": {"cat": {"port": "COM1"}}, "9": {"cat": {"port": "COM2"}},
             " +3": {"cat": {"port": "COM3"}}})",
         "3: cat=COM3@38400 8N1 DTR\n9: cat=COM2@38400 8N1 DTR\n10: cat=COM1@38400 8N1 DTR\n"},
        // "01" comes before "1": a later member of the same number replaces
        // the record, but only when it enables a kind.
        {R"({"01": {"cat": {"port": "COM1"}}, "1": {"name": "Second"}})",
         "1: cat=COM1@38400 8N1 DTR\n"},
        {R"({"01": {"cat": {"port": "COM1"}}, "1": {"fsk": {"port": "COM3"}}})",
         "1: fsk=COM3@45 8N1 DTR\n"},
    };
    for (const auto& [json, groups] : cases) EXPECT_EQ(GroupsOf(json), groups) << json;
}

TEST(ReadExtGroupsTest, NamesComeFromNameOrFromTheKeyAsWritten) {
    Names names;
    EXPECT_EQ(GroupsOf(R"({"1": {"name": "Logger"}, "07": {}, "8": {"name": ""},
                           "9": {"name": 12}, "-1": {"name": "Nobody"}, " +3": "not an object",
                           "2x": {"cat": {"port": "COM9"}}, "01": {"name": "First"}})",
                       &names),
              "2: cat=COM9@38400 8N1 DTR\n");
    EXPECT_EQ(names, (Names{{-1, "Nobody"},
                            {1, "Logger"},
                            {2, "Group 2x"},
                            {3, "Group  +3"},
                            {7, "Group 07"},
                            {8, ""},
                            {9, "Group 9"}}));
}

TEST(ReadExtGroupsTest, KeyWithoutANumberThrowsAndKeepsTheNamesReadBeforeIt) {
    Names names;
    AppGroupTable table;
    EXPECT_THROW(ReadExtGroups(ParseJsonDocument(R"({"1": {"name": "A"}, "3": {"name": "C"},
                                                     "abc": {"name": "B"}, "b": {}})"),
                               names, table),
                 std::invalid_argument);
    EXPECT_EQ(names, (Names{{1, "A"}, {3, "C"}}));  // in key order: "b" never

    for (const char* json : {R"({"": {}})", R"({"-": {}})", R"({"x1": {}})"}) {
        EXPECT_THROW(GroupsOf(json), std::invalid_argument) << json;
    }
    for (const char* json : {R"({"2147483648": {}})", R"({"-2147483649": {}})"}) {
        EXPECT_THROW(GroupsOf(json), std::out_of_range) << json;
    }
    GroupsOf(R"({"2147483647": {}, "-2147483648": {}})", &names);
    EXPECT_EQ(names.size(), 2u);
}

}  // namespace
}  // namespace brinmoor
