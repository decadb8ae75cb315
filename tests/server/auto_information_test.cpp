// Auto-information per group, in process over simulated ports: a program's AI
// is its group's own (set and read back while the group is inactive, never
// sent to the radio), a listen-only port hears changes without asking, and
// the reports come whole, between answers.
#include <gtest/gtest.h>

#include <string>

#include "server_test_support.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using AutoInformationTest = servertest::ServerFixture;

// Every message a port was sent, each ended by ";", none cut.
bool WholeMessages(const std::string& written) {
    std::size_t start = 0;
    for (std::size_t end = written.find(';'); end != std::string::npos;
         end = written.find(';', start)) {
        const std::string message = written.substr(start, end - start);
        if (message.size() < 2 || std::string("FA FB MD IF AI").find(message.substr(0, 2)) ==
                                      std::string::npos) {
            return false;
        }
        start = end + 1;
    }
    return start == written.size();
}

TEST_F(AutoInformationTest, GroupsHearTheRadiosChangesWithoutTheRadioHearingTheirAi) {
    const std::string kIf = "IF00014074000     +000000000020000000";
    sim::SetResponder("COM3", sim::KenwoodResponder({{"ID", "ID019"},
                                                     {"FA", "FA00014074000"},
                                                     {"MD", "MD2"},
                                                     {"IF", kIf},
                                                     {"TX", "TX0"},
                                                     {"PC", "PC100"}}));
    sim::CreateDevice("COM5");  // a logger in group 1, which is not active
    sim::CreateDevice("COM6");  // an amplifier that only listens, in group 2
    ASSERT_EQ(Send(R"(CFG{"ports": {"CAT": {"port": "COM3"}}, "ext_groups": {)"
                   R"("1": {"cat": {"port": "COM5"}}, "2": {"cat": {"port": "COM6", "reports": true}}}})"),
              "CFG_OK;");
    ASSERT_TRUE(log.WaitFor(LogStream::Out, "[relay] CAT relay started for group 2 on COM6\n"));

    sim::Feed("COM5", "AI;AI2;AI;AI7;");
    ASSERT_TRUE(sim::WaitForWritten("COM5", "AI0;AI2;?;", 5s)) << sim::Written("COM5");
    // The listener is told the radio's state once it is known.
    ASSERT_TRUE(sim::WaitForWritten("COM6", "FA00014074000;MD2;" + kIf + ";", 5s))
        << sim::Written("COM6");
    sim::TakeWritten("COM5");
    sim::TakeWritten("COM6");

    // The controlling client changes the radio; the server's own IF reads
    // tell both groups, in the radio's forms.
    const std::string kNewIf = "IF00007074000     +000000000010000000";
    Send("FA00007074000");
    Send("MD1");
    Send(kNewIf);  // the simulated radio answers IF with this from now on
    for (const std::string port : {"COM5", "COM6"}) {
        EXPECT_TRUE(sim::WaitForWritten(port, "FA00007074000;MD1;" + kNewIf + ";", 5s))
            << port << ": " << sim::Written(port);
    }
    // A program's question is answered whole while reports flow.
    sim::Feed("COM5", "FA;AI0;AI;");
    EXPECT_TRUE(sim::WaitForWritten("COM5", "FA00007074000;AI0;", 5s)) << sim::Written("COM5");
    Send("FA00021074000");
    Send("FA");  // the client's read tells the state
    EXPECT_TRUE(sim::WaitForWritten("COM6", "FA00021074000;", 5s)) << sim::Written("COM6");
    EXPECT_EQ(sim::Written("COM5").find("FA00021074000"), std::string::npos)
        << "AI0 ends the reports";
    EXPECT_TRUE(WholeMessages(sim::Written("COM5"))) << sim::Written("COM5");
    EXPECT_TRUE(WholeMessages(sim::Written("COM6"))) << sim::Written("COM6");
    EXPECT_EQ(sim::Written("COM3").find("AI"), std::string::npos) << "no AI reaches the radio";
}

}  // namespace
}  // namespace brinmoor
