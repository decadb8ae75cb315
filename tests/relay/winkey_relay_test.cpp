// WinKey relays through the manager: the program's bytes reach the keyer
// while its group is active, and the keyer's bytes reach the active program.
#include "relay/winkey_relay.h"

#include <gtest/gtest.h>

#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

constexpr milliseconds kBound = 2000ms;

class WinKeyRelayTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        Devices({"SRV_WK", "G1_WK", "G2_WK", "G3_PTT"});
        server.winkeyPort.Replace(OpenServerPort("SRV_WK"));
    }

    static AppGroup WinKeyGroup(const char* device) {
        AppGroup group;
        group.winkey = Port(device);
        group.winkeyEnabled = true;
        return group;
    }

    // One byte at a time, a few milliseconds apart.
    static std::string Trickle(const char* device, const std::string& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            sim::Feed(device, bytes.substr(i, 1), milliseconds(5 * i));
        }
        return bytes;
    }
    static std::string KeyerSends(const std::string& bytes) { return Trickle("SRV_WK", bytes); }

    static bool KeyerBytesTaken() {
        return WaitUntil([] { return sim::Unread("SRV_WK") == 0; }, kBound);
    }
};

TEST_F(WinKeyRelayTest, OneGroupTalksToTheKeyerOnlyWhileActive) {
    server.activeGroup.Store(1);
    manager.Start({{1, WinKeyGroup("G1_WK")}});
    EXPECT_EQ(log.Out(), std::vector<std::string>{"[relay] WinKey relay started for group 1\n"});

    sim::Feed("G1_WK", std::string("\x00\x02", 2));  // binary bytes pass unchanged
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", std::string("\x00\x02", 2), kBound));
    KeyerSends("\xC0");
    EXPECT_TRUE(sim::WaitForWritten("G1_WK", "\xC0", kBound));

    // Both directions at once: neither waits behind the other.
    const std::string toKeyer = Trickle("G1_WK", "0123456789012345");
    const std::string toProgram = KeyerSends("abcdefghijklmnop");
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", toKeyer, kBound));
    EXPECT_TRUE(sim::WaitForWritten("G1_WK", toProgram, kBound));

    // Inactive: both directions are read and dropped, not held back.
    server.activeGroup.Store(-1);
    std::this_thread::sleep_for(300ms);
    sim::TakeWritten("SRV_WK");
    sim::TakeWritten("G1_WK");
    sim::Feed("G1_WK", "AB");
    KeyerSends("xy");
    EXPECT_TRUE(WaitUntil([] { return sim::Unread("G1_WK") == 0; }, kBound));
    EXPECT_TRUE(KeyerBytesTaken());
    server.activeGroup.Store(1);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(sim::Written("SRV_WK"), "");
    EXPECT_EQ(sim::Written("G1_WK"), "");

    // Active again: traffic flows once more.
    sim::Feed("G1_WK", "CQ");
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", "CQ", kBound));
}

TEST_F(WinKeyRelayTest, TheActiveOfTwoGroupsGetsEveryKeyerByte) {
    server.activeGroup.Store(2);
    manager.Start({{1, WinKeyGroup("G1_WK")}, {2, WinKeyGroup("G2_WK")}});

    const std::string first = KeyerSends("ABCDEFGHIJ");
    EXPECT_TRUE(sim::WaitForWritten("G2_WK", first, kBound));
    EXPECT_EQ(sim::TakeWritten("G2_WK"), first);

    server.activeGroup.Store(1);
    std::this_thread::sleep_for(300ms);  // group 2's reader steps back
    const std::string second = KeyerSends("abcdefghij");
    EXPECT_TRUE(sim::WaitForWritten("G1_WK", second, kBound));
    EXPECT_EQ(sim::TakeWritten("G1_WK"), second);
    EXPECT_EQ(sim::Written("G2_WK"), "");

    // The inactive program's bytes never reach the keyer.
    sim::TakeWritten("SRV_WK");
    sim::Feed("G2_WK", "Q");
    sim::Feed("G1_WK", "K");
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", "K", kBound));
    EXPECT_TRUE(WaitUntil([] { return sim::Unread("G2_WK") == 0; }, kBound));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sim::Written("SRV_WK"), "K");
}

TEST_F(WinKeyRelayTest, KeyerBytesAreDroppedWhileTheActiveGroupHasNoWinKeyRelay) {
    AppGroup three;
    three.ptt = Port("G3_PTT");
    three.pttEnabled = true;
    server.activeGroup.Store(3);
    manager.Start({{1, WinKeyGroup("G1_WK")}, {2, WinKeyGroup("G2_WK")}, {3, three}});

    KeyerSends("stale");
    EXPECT_TRUE(KeyerBytesTaken());
    server.activeGroup.Store(2);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(sim::Written("G1_WK"), "");
    EXPECT_EQ(sim::Written("G2_WK"), "");
    KeyerSends("fresh");
    EXPECT_TRUE(sim::WaitForWritten("G2_WK", "fresh", kBound));
    EXPECT_EQ(sim::Written("G2_WK"), "fresh");
}

}  // namespace
}  // namespace brinmoor
