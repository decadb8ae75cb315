// Who may connect: the --allow rule and how often a refusal is logged.
#include "server/allow_list.h"

#include <gtest/gtest.h>

#include <string>

namespace brinmoor {
namespace {

std::uint32_t Ip(const char* text) {
    return ParseIpv4(text).value();
}

TEST(AllowListTest, AddressesAgainstLists) {
    const struct {
        std::string list;
        const char* address;
        bool allowed;
    } cases[] = {
        // The default: loopback, private, link-local and shared address space.
        {std::string(kDefaultAllow), "127.0.0.1", true},
        {std::string(kDefaultAllow), "127.255.0.9", true},
        {std::string(kDefaultAllow), "10.1.2.3", true},
        {std::string(kDefaultAllow), "172.16.0.1", true},
        {std::string(kDefaultAllow), "172.31.255.255", true},
        {std::string(kDefaultAllow), "172.32.0.1", false},
        {std::string(kDefaultAllow), "192.168.1.20", true},
        {std::string(kDefaultAllow), "192.169.0.1", false},
        {std::string(kDefaultAllow), "169.254.7.7", true},
        {std::string(kDefaultAllow), "100.64.0.1", true},
        {std::string(kDefaultAllow), "100.127.255.255", true},
        {std::string(kDefaultAllow), "100.128.0.0", false},
        {std::string(kDefaultAllow), "8.8.8.8", false},
        {std::string(kDefaultAllow), "0.0.0.0", false},
        // One address, a block written with host bits, everything.
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"192.168.1.77/24,10.8.0.5", "192.168.1.200", true},
        {"192.168.1.77/24,10.8.0.5", "192.168.2.1", false},
        {"192.168.1.77/24,10.8.0.5", "10.8.0.5", true},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"any", "203.0.113.9", true},
        {"203.0.113.9/32", "203.0.113.9", true},
    };
    for (const auto& c : cases) {
        const auto list = ParseAllowList(c.list);
        ASSERT_TRUE(list) << c.list;
        EXPECT_EQ(IsAllowed(*list, Ip(c.address)), c.allowed) << c.list << " / " << c.address;
    }
    for (const char* bad :
         {"", ",", "127.0.0.1,", "any,10.0.0.1", "ANY", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1",
          "10.0.0.0/8/8", "10.0.0/8", "localhost", "::1", "10.0.0.1 ,10.0.0.2", "010.0.0.1"}) {
        EXPECT_FALSE(ParseAllowList(bad)) << bad;
    }
    EXPECT_EQ(FormatIpv4(Ip("203.0.113.9")), "203.0.113.9");
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
