#include "config/status_reply.h"

#include <gtest/gtest.h>

#include <string>

#include "config/json.h"
#include "config/port_settings.h"

namespace brinmoor {
namespace {

TEST(StatusReply, OnlyTheTcpPortBeforeACatPortIsConfigured) {
    EXPECT_EQ(BuildStatusJson(4532, "", 38400, "8", "none", "1"), R"({"tcp_port":4532})");
    EXPECT_EQ(BuildStatusJson(5000, "", 1, "x", "y", "z"), R"({"tcp_port":5000})");
}

TEST(StatusReply, CatPortSettingsInTheirTextForms) {
    EXPECT_EQ(BuildStatusJson(4532, "COM3", 38400, "8", "none", "1"),
              R"({"tcp_port":4532,"com":"COM3","baud":38400,"bits":"8","parity":"none",)"
              R"("stopbits":"1"})");
    const std::string status =
        BuildStatusJson(4532, "COM5", 9600, std::to_string(7), ParityName('E'), StopBitsText(1.5f));
    EXPECT_EQ(status, R"({"tcp_port":4532,"com":"COM5","baud":9600,"bits":"7","parity":"even",)"
                      R"("stopbits":"1.5"})");
    // One line, no blanks in the fixed pieces, ended by the brace alone.
    EXPECT_EQ(status.find(' '), std::string::npos);
    EXPECT_EQ(status.find('\n'), std::string::npos);
    EXPECT_EQ(status.back(), '}');
}

TEST(StatusReply, PortNamesWithQuotesAndBackslashesReadBackUnchanged) {
    for (const std::string& port :
         {std::string("\\\\.\\COM10"), std::string("CO\"M3"), std::string("x\\")}) {
        const std::string status = BuildStatusJson(4532, port, 38400, "8", "none", "1");
        EXPECT_EQ(status, "{\"tcp_port\":4532,\"com\":\"" + JsonEscape(port) +
                              R"(","baud":38400,"bits":"8","parity":"none","stopbits":"1"})");
        const JsonValue doc = ParseJsonDocument(status);
        EXPECT_EQ(JsonMember(doc, "com").text, port);
        EXPECT_EQ(JsonMember(doc, "stopbits").text, "1");
        EXPECT_EQ(doc.members.size(), 6u);
    }
}

}  // namespace
}  // namespace brinmoor
