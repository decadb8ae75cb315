// WinKey relays: the program's bytes reach the keyer while its group is
// active, and the keyer's bytes reach the active program. Bytes pass in
// order, so a check that only the newest bytes arrived shows that dropped
// ones do not come late.
#include "relay/winkey_relay.h"

#include <gtest/gtest.h>

#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

class WinKeyRelayTest : public RelayTest {
  protected:
    // One byte at a time, a few milliseconds apart.
    static std::string Trickle(const char* device, const std::string& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            sim::Feed(device, bytes.substr(i, 1), milliseconds(5 * i));
        }
        return bytes;
    }
    static void TakenFrom(const char* device) {
        EXPECT_TRUE(sim::WaitUntil([&] { return sim::Unread(device) == 0; }, kBound)) << device;
    }
};

TEST_F(WinKeyRelayTest, OneGroupTalksToTheKeyerOnlyWhileActive) {
    activeGroup.Store(1);
    manager.Start({{1, Group(1, "winkey")}});
    sim::Feed("G1_WK", std::string("\x00\x02", 2));  // binary bytes pass unchanged
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", std::string("\x00\x02", 2), kBound));
    // Both directions at once: neither waits behind the other.
    const std::string toKeyer = Trickle("G1_WK", "0123456789012345");
    const std::string toProgram = Trickle("SRV_WK", "abcdefghijklmnop");
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", toKeyer, kBound));
    EXPECT_TRUE(sim::WaitForWritten("G1_WK", toProgram, kBound));
    sim::TakeWritten("SRV_WK");
    sim::TakeWritten("G1_WK");

    // Inactive: both directions are read and dropped, not held back.
    activeGroup.Store(-1);
    sim::Feed("G1_WK", "AB");
    sim::Feed("SRV_WK", "xy");
    TakenFrom("G1_WK");
    TakenFrom("SRV_WK");
    activeGroup.Store(1);
    sim::Feed("G1_WK", "CQ");
    sim::Feed("SRV_WK", "ok");
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", "CQ", kBound));
    EXPECT_TRUE(sim::WaitForWritten("G1_WK", "ok", kBound));
    EXPECT_EQ(sim::Written("SRV_WK"), "CQ");
    EXPECT_EQ(sim::Written("G1_WK"), "ok");
}

TEST_F(WinKeyRelayTest, TheActiveOfTwoGroupsGetsEveryKeyerByte) {
    activeGroup.Store(2);
    manager.Start({{1, Group(1, "winkey")}, {2, Group(2, "winkey")}});
    const std::string first = Trickle("SRV_WK", "ABCDEFGHIJ");
    EXPECT_TRUE(sim::WaitForWritten("G2_WK", first, kBound));
    EXPECT_EQ(sim::TakeWritten("G2_WK"), first);

    activeGroup.Store(1);
    const std::string second = Trickle("SRV_WK", "abcdefghij");
    EXPECT_TRUE(sim::WaitForWritten("G1_WK", second, kBound));
    EXPECT_EQ(sim::Written("G1_WK"), second);
    EXPECT_EQ(sim::Written("G2_WK"), "");

    // The inactive program's bytes never reach the keyer.
    sim::TakeWritten("SRV_WK");
    sim::Feed("G2_WK", "Q");
    TakenFrom("G2_WK");
    sim::Feed("G1_WK", "K");
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", "K", kBound));
    EXPECT_EQ(sim::Written("SRV_WK"), "K");
}

TEST_F(WinKeyRelayTest, KeyerBytesAreDroppedWhileTheActiveGroupHasNoWinKeyRelay) {
    activeGroup.Store(3);
    manager.Start({{1, Group(1, "winkey")}, {2, Group(2, "winkey")}, {3, Group(3, "ptt")}});
    Trickle("SRV_WK", "stale");
    TakenFrom("SRV_WK");
    activeGroup.Store(2);
    Trickle("SRV_WK", "fresh");
    EXPECT_TRUE(sim::WaitForWritten("G2_WK", "fresh", kBound));
    EXPECT_EQ(sim::Written("G2_WK"), "fresh");
    EXPECT_EQ(sim::Written("G1_WK"), "");
}

}  // namespace
}  // namespace brinmoor
