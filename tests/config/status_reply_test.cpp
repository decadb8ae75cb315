// The PORTS status text: the TCP port alone until a CAT port is configured,
// then the port's settings, its name escaped so that it reads back unchanged.
#include "config/status_reply.h"

#include <gtest/gtest.h>

#include <string>

#include "config/json.h"

namespace brinmoor {
namespace {

TEST(StatusReply, TcpPortAloneOrWithTheCatPortsSettings) {
    EXPECT_EQ(BuildStatusJson(5000, "", 1, "x", "y", "z"), R"({"tcp_port":5000})");
    for (const char* port : {"COM5", "\\\\.\\COM10", "CO\"M3", "x\\"}) {
        const std::string status = BuildStatusJson(4532, port, 9600, "7", "even", "1.5");
        EXPECT_EQ(status, "{\"tcp_port\":4532,\"com\":\"" + JsonEscape(port) +
                              R"(","baud":9600,"bits":"7","parity":"even","stopbits":"1.5"})");
        EXPECT_EQ(JsonMember(ParseJsonDocument(status), "com").text, port);
    }
}

}  // namespace
}  // namespace brinmoor
