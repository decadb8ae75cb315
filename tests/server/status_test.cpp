// STATUS, in process: the radio as its answers told it, a group's port with
// its counters, and a keyed line with its holder, in one frame whatever the
// names hold. (A tcp: port's peer: the endpoint system test.)
#include <gtest/gtest.h>

#include <string>

#include "config/json.h"
#include "server_test_support.h"
#include "status_view.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using StatusTest = servertest::ServerFixture;

TEST_F(StatusTest, StatusShowsTheRadioAGroupsCountersAndWhoKeysALine) {
    // In process the frame may hold ";": the document must escape it.
    sim::CreateDevice("COM5");
    ASSERT_EQ(Send(R"(CFG{"ports": {"CAT": {"port": "COM3"}}, "ext_groups": {"1": {"name": "Log;ger",)"
                   R"( "cat": {"port": "COM5"}}}})"),
              "CFG_OK;");
    ASSERT_TRUE(log.WaitFor(LogStream::Out, "[relay] CAT relay started for group 1 on COM5\n"));
    InstallKeyingLines("COM9");
    HandleFrame(state, 4532, "PT1", 7);

    sim::Feed("COM5", "FA;FA00007000000;");
    ASSERT_TRUE(sim::WaitForWritten("COM5", "FA00014074000;", 5s));
    ASSERT_TRUE(sim::WaitUntil(
        [&] {
            return JsonMember(JsonMember(ReadStatusDocument(Send("STATUS").substr(6)), "groups"),
                              "1")
                       .members.count("commands_relayed") != 0 &&
                   Send("STATUS").find("\"refused_while_inactive\":1") != std::string::npos;
        },
        5s));

    const std::string reply = Send("STATUS");
    EXPECT_EQ(reply.find(';'), reply.size() - 1) << reply;
    const JsonValue status = ReadStatusDocument(std::string_view(reply).substr(6));
    const JsonValue& radio = JsonMember(status, "radio");
    EXPECT_EQ(JsonText(JsonMember(radio, "link")), "open");
    EXPECT_EQ(JsonText(JsonMember(radio, "id")), "ID019");
    EXPECT_EQ(JsonMember(radio, "vfo_a_hz").number, 14074000);
    const JsonValue& group = JsonMember(JsonMember(status, "groups"), "1");
    EXPECT_EQ(JsonText(JsonMember(group, "name")), "Log;ger");
    const JsonValue& cat = JsonMember(JsonMember(group, "ports"), "cat");
    EXPECT_EQ(JsonText(JsonMember(cat, "kind")), "serial");
    EXPECT_TRUE(JsonMember(cat, "open").flag);
    EXPECT_EQ(JsonMember(group, "commands_relayed").number, 1);
    EXPECT_EQ(JsonMember(group, "refused_while_inactive").number, 1);
    EXPECT_EQ(JsonMember(group, "last_command_ms").kind, JsonKind::Number);
    const JsonValue& ptt = JsonMember(JsonMember(status, "lines"), "ptt");
    EXPECT_TRUE(JsonMember(ptt, "keyed").flag);
    EXPECT_EQ(JsonText(JsonMember(ptt, "holder")), "client 7");
    EXPECT_FALSE(JsonMember(JsonMember(JsonMember(status, "lines"), "cw"), "keyed").flag);

    // The same document for people.
    const std::string table = FormatStatus(status);
    EXPECT_NE(table.find("VFO A 14.074.000"), std::string::npos) << table;
    EXPECT_NE(table.find("client 7"), std::string::npos) << table;
}

}  // namespace
}  // namespace brinmoor
