// The server's command line, and who may connect: the --allow rule and how
// often a refusal is logged.
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

// "run PORT;", "help", "version", or the refusal line.
std::string Outcome(std::initializer_list<const char*> arguments) {
    const CommandLine line = Parse(arguments);
    if (line.action == CommandLineAction::Run) return "run " + std::to_string(line.tcpPort) + ";";
    if (line.action == CommandLineAction::Help) return "help";
    return line.action == CommandLineAction::Version ? "version" : line.refusal;
}

std::uint32_t Ip(const char* text) {
    return ParseIpv4(text).value();
}

TEST(CommandLineTest, ArgumentsAndWhatTheyGive) {
    const struct {
        std::initializer_list<const char*> arguments;
        const char* outcome;  // a part of it
    } cases[] = {
        // --port converts like strtol; the last value that converts wins, and
        // the value is looked at as an argument of its own too.
        {{}, "run 4532;"}, {{"--port", " +5000x"}, "run 5000;"},
        {{"--port", "5000", "--port", "abc"}, "run 5000;"},
        {{"--port", "99999999999"}, "run 4532;"}, {{"--port", "--port", "7000"}, "run 7000;"},
        {{"--PORT", "5000", "stray", "-p"}, "run 4532;"}, {{"--port", "65535"}, "run 65535;"},
        {{"--port", "70000", "--port", "5000"}, "run 5000;"},
        {{"--port", "0"}, "[brinmoor] TCP port 0 is out of range: use 1 to 65535.\n"},
        {{"--port", "65536"}, "TCP port 65536 is out of range"},
        // Help and version win over everything else.
        {{"--port", "0", "--help"}, "help"}, {{"--version"}, "version"},
        // Options whose value is missing or unusable are refused.
        {{"--config"}, "[brinmoor] --config needs a file name.\n"},
        {{"--bind", "localhost"},
         "[brinmoor] --bind needs an IPv4 address such as 127.0.0.1, not 'localhost'.\n"},
        {{"--bind", "\x1b[2J"}, "not '\\u001b[2J'"},
        {{"--allow", "lan"}, "--allow needs IPv4 addresses or blocks such as 192.168.1.0/24"},
        {{"--max-clients", "0"}, "--max-clients needs a number from 1 to 10000, not '0'.\n"},
        {{"--max-clients", "10001"}, "--max-clients needs a number"},
        {{"--tx-timeout", "86401"},
         "[brinmoor] --tx-timeout needs whole seconds from 0 (off) to 86400, not '86401'.\n"},
        {{"--tx-timeout", "2m"}, "--tx-timeout needs whole seconds"},
    };
    for (const auto& c : cases) {
        const std::string outcome = Outcome(c.arguments);
        EXPECT_NE(outcome.find(c.outcome), std::string::npos) << outcome;
    }

    EXPECT_FALSE(IsAllowed(Parse({}).allow, Ip("8.8.8.8")));
    const CommandLine line = Parse({"--config", "/etc/b.json", "--bind", "127.0.0.1", "--allow",
                                    "8.8.8.0/24", "--max-clients", "3", "--tx-timeout", "86400"});
    EXPECT_EQ(line.configPath + " " + line.bindAddress + " " + std::to_string(line.maxClients) +
                  " " + std::to_string(line.txTimeoutSeconds),
              "/etc/b.json 127.0.0.1 3 86400");
    EXPECT_TRUE(IsAllowed(line.allow, Ip("8.8.8.8")));
    EXPECT_FALSE(IsAllowed(line.allow, Ip("127.0.0.1"))) << "the list replaces the default";
}

TEST(CommandLineTest, TheServiceKeepsTheOtherOptionsOnceAccepted) {
    const CommandLine install =
        Parse({"--port", "5000", "--install-service", "--config", "C:\\b b.json"});
    EXPECT_EQ(install.action, CommandLineAction::InstallService);
    EXPECT_EQ(install.serviceOptions,
              (std::vector<std::string>{"--port", "5000", "--config", "C:\\b b.json"}));
    EXPECT_EQ(Parse({"--install-service", "--port", "0"}).action, CommandLineAction::Refuse);
    EXPECT_EQ(Parse({"--uninstall-service"}).action, CommandLineAction::UninstallService);
    const CommandLine service = Parse({"--service", "--port", "5000"});
    EXPECT_EQ(service.action, CommandLineAction::Run);
    EXPECT_TRUE(service.underServiceManager);
}

TEST(AllowListTest, AddressesAgainstLists) {
    const std::string lan(kDefaultAllow);
    const struct {
        std::string list;
        const char* address;
        bool allowed;
    } cases[] = {
        // The default: loopback, private, link-local and shared address space.
        {lan, "127.255.0.9", true},      {lan, "10.1.2.3", true},
        {lan, "172.31.255.255", true},   {lan, "172.32.0.1", false},
        {lan, "192.168.1.20", true},     {lan, "192.169.0.1", false},
        {lan, "100.128.0.0", false},     {lan, "8.8.8.8", false},
        // One address, a block written with host bits, everything.
        {"127.0.0.1", "127.0.0.2", false},
        {"192.168.1.77/24,10.8.0.5", "192.168.1.200", true},
        {"192.168.1.77/24,10.8.0.5", "192.168.2.1", false},
        {"192.168.1.77/24,10.8.0.5", "10.8.0.5", true},
        {"any", "203.0.113.9", true},
    };
    for (const auto& c : cases) {
        const auto list = ParseAllowList(c.list);
        ASSERT_TRUE(list) << c.list;
        EXPECT_EQ(IsAllowed(*list, Ip(c.address)), c.allowed) << c.list << " / " << c.address;
    }
    for (const char* bad :
         {"", "127.0.0.1,", "any,10.0.0.1", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/8/8", "10.0.0/8",
          "localhost", "10.0.0.1 ,10.0.0.2", "010.0.0.1", "256.1.1.1", "1.2.3.4."}) {
        EXPECT_FALSE(ParseAllowList(bad)) << bad;
    }
}

TEST(AllowListTest, ARefusedAddressIsLoggedOnceAMinute) {
    RefusalLogLimit limit;
    const auto start = RefusalLogLimit::Clock::now();
    EXPECT_TRUE(limit.ShouldLog(1, start));
    EXPECT_FALSE(limit.ShouldLog(1, start + std::chrono::seconds(59)));
    EXPECT_TRUE(limit.ShouldLog(2, start + std::chrono::seconds(59)));
    EXPECT_TRUE(limit.ShouldLog(1, start + std::chrono::seconds(60)));
    EXPECT_FALSE(limit.ShouldLog(1, start + std::chrono::seconds(61)));
    // Many addresses at once: memory stays bounded, a new one is still logged.
    for (std::uint32_t address = 100; address < 100 + 3 * RefusalLogLimit::kMaxRemembered;
         ++address) {
        EXPECT_TRUE(limit.ShouldLog(address, start + std::chrono::seconds(70)));
    }
    EXPECT_TRUE(limit.ShouldLog(7, start + std::chrono::seconds(70)));
}

}  // namespace
}  // namespace brinmoor
