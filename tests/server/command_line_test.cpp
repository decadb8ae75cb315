#include "server/command_line.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace brinmoor {
namespace {

CommandLine Parse(std::initializer_list<const char*> arguments) {
    std::vector<const char*> argv{"brinmoor"};
    argv.insert(argv.end(), arguments);
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineTest, PortFormsFollowTheStringToIntegerRules) {
    EXPECT_EQ(Parse({}).tcpPort, 4532);
    EXPECT_EQ(Parse({"--port", "5000"}).tcpPort, 5000);
    EXPECT_EQ(Parse({"--port", " +5000x"}).tcpPort, 5000);
    // The last value that converts wins; one without digits is ignored.
    EXPECT_EQ(Parse({"--port", "5000", "--port", "6000"}).tcpPort, 6000);
    EXPECT_EQ(Parse({"--port", "5000", "--port", "abc"}).tcpPort, 5000);
    EXPECT_EQ(Parse({"--port", "99999999999"}).tcpPort, 4532);
    // "--port" as the last argument has no value.
    EXPECT_EQ(Parse({"--port"}).tcpPort, 4532);
    EXPECT_EQ(Parse({"--port", "5000", "--port"}).tcpPort, 5000);
    // The value is an argument of its own too: "--port --port 7000".
    EXPECT_EQ(Parse({"--port", "--port", "7000"}).tcpPort, 7000);
    // Case matters and anything unknown is ignored.
    EXPECT_EQ(Parse({"--PORT", "5000", "stray", "-p"}).tcpPort, 4532);
    EXPECT_EQ(Parse({"--port", "5000", "stray"}).action, CommandLineAction::Run);
}

TEST(CommandLineTest, PortOutsideTheTcpRangeIsRefused) {
    for (const char* value : {"0", "-1", "65536", "70000"}) {
        const CommandLine line = Parse({"--port", value});
        EXPECT_EQ(line.action, CommandLineAction::Refuse) << value;
        EXPECT_EQ(line.refusal, "[brinmoor] TCP port " + std::to_string(std::stoi(value)) +
                                    " is out of range: use 1 to 65535.\n");
    }
    EXPECT_EQ(Parse({"--port", "1"}).action, CommandLineAction::Run);
    EXPECT_EQ(Parse({"--port", "65535"}).action, CommandLineAction::Run);
    // Only the value that wins counts.
    EXPECT_EQ(Parse({"--port", "70000", "--port", "5000"}).action, CommandLineAction::Run);
}

TEST(CommandLineTest, ConfigAndBindTakeTheirValue) {
    const CommandLine defaults = Parse({});
    EXPECT_EQ(defaults.configPath, "");
    EXPECT_EQ(defaults.bindAddress, "");

    const CommandLine line = Parse({"--config", "/etc/brinmoor.json", "--bind", "127.0.0.1"});
    EXPECT_EQ(line.action, CommandLineAction::Run);
    EXPECT_EQ(line.configPath, "/etc/brinmoor.json");
    EXPECT_EQ(line.bindAddress, "127.0.0.1");
    // The value is taken as it is, even when it looks like an option.
    EXPECT_EQ(Parse({"--config", "--port", "6000"}).tcpPort, 4532);
}

TEST(CommandLineTest, ConfigAndBindWithoutAUsableValueAreRefused) {
    EXPECT_EQ(Parse({"--config"}).refusal, "[brinmoor] --config needs a file name.\n");
    EXPECT_EQ(Parse({"--config", ""}).action, CommandLineAction::Refuse);
    EXPECT_EQ(Parse({"--bind"}).refusal, "[brinmoor] --bind needs an IPv4 address.\n");
    const CommandLine bad = Parse({"--bind", "localhost"});
    EXPECT_EQ(bad.action, CommandLineAction::Refuse);
    EXPECT_EQ(bad.refusal,
              "[brinmoor] --bind needs an IPv4 address such as 127.0.0.1, not 'localhost'.\n");
}

TEST(CommandLineTest, TxTimeoutTakesWholeSecondsOrIsRefused) {
    EXPECT_EQ(Parse({}).txTimeoutSeconds, 0);
    EXPECT_EQ(Parse({"--tx-timeout", "120"}).txTimeoutSeconds, 120);
    EXPECT_EQ(Parse({"--tx-timeout", "0"}).action, CommandLineAction::Run);
    EXPECT_EQ(Parse({"--tx-timeout", "86400"}).txTimeoutSeconds, 86400);
    for (const char* bad : {"86401", "-5", "2m", "", "1e3", "99999999999"}) {
        const CommandLine line = Parse({"--tx-timeout", bad});
        EXPECT_EQ(line.action, CommandLineAction::Refuse) << bad;
        EXPECT_EQ(line.refusal, std::string("[brinmoor] --tx-timeout needs whole seconds from 0 "
                                            "(off) to 86400, not '") +
                                    bad + "'.\n");
    }
    EXPECT_EQ(Parse({"--tx-timeout"}).action, CommandLineAction::Refuse);
}

TEST(CommandLineTest, AllowAndMaxClientsTakeTheirValueOrRefuseIt) {
    const CommandLine defaults = Parse({});
    EXPECT_EQ(defaults.maxClients, 256u);
    EXPECT_FALSE(IsAllowed(defaults.allow, 0x08080808));  // 8.8.8.8
    EXPECT_TRUE(IsAllowed(defaults.allow, 0xC0A80114));   // 192.168.1.20

    const CommandLine line = Parse({"--allow", "8.8.8.0/24", "--max-clients", "3"});
    EXPECT_EQ(line.action, CommandLineAction::Run);
    EXPECT_EQ(line.maxClients, 3u);
    EXPECT_TRUE(IsAllowed(line.allow, 0x08080808));
    EXPECT_FALSE(IsAllowed(line.allow, 0x7F000001)) << "the list replaces the default";

    const struct {
        std::initializer_list<const char*> arguments;
        const char* refusal;
    } refused[] = {
        {{"--allow"}, "[brinmoor] --allow needs a list of IPv4 addresses and blocks, or any.\n"},
        {{"--allow", "lan"},
         "[brinmoor] --allow needs IPv4 addresses or blocks such as 192.168.1.0/24 separated by "
         "commas, or any, not 'lan'.\n"},
        {{"--max-clients", "0"},
         "[brinmoor] --max-clients needs a number from 1 to 10000, not '0'.\n"},
        {{"--max-clients", "1e3"},
         "[brinmoor] --max-clients needs a number from 1 to 10000, not '1e3'.\n"},
        {{"--max-clients", "10001"},
         "[brinmoor] --max-clients needs a number from 1 to 10000, not '10001'.\n"},
        {{"--bind", "\x1b[2J"},
         "[brinmoor] --bind needs an IPv4 address such as 127.0.0.1, not '\\u001b[2J'.\n"},
    };
    for (const auto& c : refused) {
        const CommandLine refusedLine = Parse(c.arguments);
        EXPECT_EQ(refusedLine.action, CommandLineAction::Refuse) << c.refusal;
        EXPECT_EQ(refusedLine.refusal, c.refusal);
    }
}

TEST(CommandLineTest, Ipv4AddressForms) {
    for (const char* good : {"0.0.0.0", "127.0.0.1", "192.168.1.20", "255.255.255.255"}) {
        EXPECT_TRUE(IsIpv4Address(good)) << good;
    }
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4.", " 1.2.3.4",
                            "01.2.3.4", "1.2.3.0004", "::1", "a.b.c.d"}) {
        EXPECT_FALSE(IsIpv4Address(bad)) << bad;
    }
}

TEST(CommandLineTest, HelpAndVersionWinOverEverythingElse) {
    EXPECT_EQ(Parse({"--help"}).action, CommandLineAction::Help);
    EXPECT_EQ(Parse({"--port", "0", "--help"}).action, CommandLineAction::Help);
    EXPECT_EQ(Parse({"--version"}).action, CommandLineAction::Version);
    EXPECT_EQ(Parse({"--version", "--help"}).action, CommandLineAction::Help);
    EXPECT_EQ(VersionText(), std::string("brinmoor ") + BRINMOOR_VERSION + "\n");
    const std::string help = HelpText();
    for (const char* option :
         {"--port N", "--config FILE", "--bind ADDRESS", "--allow LIST", "--max-clients N",
          "--tx-timeout SECONDS", "--help", "--version", "4532", "brinmoor.json", "three", "four",
          "192.168.0.0/16", "(default 256)"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace brinmoor
