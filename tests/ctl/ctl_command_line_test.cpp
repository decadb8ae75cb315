// brinmoorctl's command line and its reading of the server's frames and
// replies.
#include "ctl_command_line.h"

#include <gtest/gtest.h>

#include "ctl_protocol.h"

namespace brinmoor {
namespace {

TEST(CtlCommandLineTest, OptionsThenOneCommand) {
    CtlCommandLine line = ParseCtlCommandLine(
        {"--host", "192.168.1.20", "--port=5000", "--timeout", "3", "cat", "FA", "ID;IF"});
    EXPECT_EQ(line.action, CtlAction::Run) << line.refusal;
    EXPECT_EQ(line.host + ":" + std::to_string(line.port), "192.168.1.20:5000");
    EXPECT_EQ(line.timeout, std::chrono::seconds(3));
    EXPECT_EQ(line.arguments, (std::vector<std::string>{"FA", "ID;IF"}));
    EXPECT_EQ(ParseCtlCommandLine({"--host", "localhost", "pw"}).host, "127.0.0.1");
    // After the command everything is an argument, "-1" too.
    EXPECT_EQ(ParseCtlCommandLine({"ag", "-1"}).arguments, std::vector<std::string>{"-1"});
    EXPECT_EQ(ParseCtlCommandLine({"--port", "x", "--help"}).action, CtlAction::Help);
    EXPECT_EQ(ParseCtlCommandLine({"--version"}).action, CtlAction::Version);

    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{}, "no command given"}, {{"stat"}, "unknown command 'stat'"},
        {{"--verbose", "ports"}, "unknown option '--verbose'"},
        {{"--host", "radio.local", "ports"}, "--host needs an IPv4 address"},
        {{"--port", "0", "ports"}, "--port needs a TCP port number from 1 to 65535, not '0'"},
        {{"--timeout", "0", "ports"}, "--timeout needs a number of seconds"},
        {{"ports", "extra"}, "ports takes no arguments"}, {{"cfg"}, "cfg needs one file name"},
        {{"ag", "one"}, "at most one group number"}, {{"ptt", "1"}, "ptt needs on or off"},
        {{"cat"}, "cat needs at least one CAT command"},
        {{"status", "--yaml"}, "status takes no arguments but --json"},
        {{"watch", "0"}, "watch takes at most a number of views"},
    };
    for (const auto& [arguments, refusal] : refused) {
        line = ParseCtlCommandLine(arguments);
        EXPECT_EQ(line.action, CtlAction::Refuse) << refusal;
        EXPECT_NE(line.refusal.find(refusal), std::string::npos) << line.refusal;
    }
}

// Which frames the server keeps for itself: with the server's dispatch test.
TEST(CtlProtocolTest, CatArgumentsBecomeUpperCaseCommands) {
    EXPECT_EQ(SplitCatCommands({"fa", "id;if;", " md ; ", ";;", "KY cq test"}),
              (std::vector<std::string>{"FA", "ID", "IF", "MD", "KY CQ TEST"}));
}

TEST(CtlProtocolTest, PowerInWords) {
    EXPECT_EQ(DescribePower("PW22929"), "transmitting, 2929 W");
    EXPECT_EQ(DescribePower("PW000"), "no power reading: no CAT port has been opened yet");
    for (const char* reply : {"PW", "PW00", "PW1100", "PW0x00", "AG_OK", "ERRPW"}) {
        EXPECT_FALSE(DescribePower(reply)) << reply;
    }
}

}  // namespace
}  // namespace brinmoor
