// PTT and CW relays through the manager: a group program's DSR keys the
// server's own lines while the group is the active app.
#include "relay/keying_relays.h"

#include <gtest/gtest.h>

#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

constexpr milliseconds kBound = 1500ms;  // generous: an active relay polls every 10 ms

class KeyingRelayTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        Devices({"SRV_PTT", "SRV_CW", "G1_PTT", "G1_CW", "G2_PTT"});
        server.pttLine.Replace(OpenServerLine("SRV_PTT", "DTR"));
        server.cwLine.Replace(OpenServerLine("SRV_CW", "RTS"));
    }
};

TEST_F(KeyingRelayTest, ServerLinesFollowTheActiveGroupsDsrEdges) {
    AppGroup group;
    group.ptt = Port("G1_PTT", "RTS");  // the group line's own name plays no part
    group.pttEnabled = true;
    group.cw = Port("G1_CW");
    group.cwEnabled = true;
    server.activeGroup.Store(1);
    manager.Start({{1, group}});

    sim::SetDsr("G1_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    EXPECT_FALSE(sim::Rts("SRV_CW"));
    sim::SetDsr("G1_CW", true);
    EXPECT_TRUE(sim::WaitForRts("SRV_CW", true, kBound));
    sim::SetDsr("G1_PTT", false);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", false, kBound));
    EXPECT_TRUE(sim::Rts("SRV_CW"));
    sim::SetDsr("G1_CW", false);
    EXPECT_TRUE(sim::WaitForRts("SRV_CW", false, kBound));
    // The relays read DSR and never drive the group's own lines.
    EXPECT_TRUE(sim::DtrHistory("G1_PTT").empty());
    EXPECT_TRUE(sim::RtsHistory("G1_PTT").empty());
}

TEST_F(KeyingRelayTest, ChangingTheActiveAppDropsAndRaisesThePttLine) {
    AppGroup one;
    one.ptt = Port("G1_PTT");
    one.pttEnabled = true;
    AppGroup two;
    two.ptt = Port("G2_PTT");
    two.pttEnabled = true;
    server.activeGroup.Store(1);
    manager.Start({{1, one}, {2, two}});

    sim::SetDsr("G1_PTT", true);
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));

    // Another app becomes active while group 1 still holds its input.
    server.activeGroup.Store(2);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", false, kBound));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(sim::Dtr("SRV_PTT"));

    // Back to group 1, whose DSR never dropped: the line comes back up.
    const auto reactivated = Clock::now();
    server.activeGroup.Store(1);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    EXPECT_LT(MsSince(reactivated), kBound.count());

    // Group 2 keys once it is the active app.
    server.activeGroup.Store(2);
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", false, kBound));
    sim::SetDsr("G2_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
}

TEST_F(KeyingRelayTest, KeyingByTheControlClientIsNotUndoneByAnIdleRelay) {
    AppGroup one;
    one.ptt = Port("G1_PTT");
    one.pttEnabled = true;
    AppGroup two;
    two.ptt = Port("G2_PTT");
    two.pttEnabled = true;
    sim::SetDsr("G2_PTT", true);  // an inactive group holding its input
    server.activeGroup.Store(1);
    manager.Start({{1, one}, {2, two}});

    // What PT 1 does: the server's line, raised directly.
    server.pttLine.Snapshot()->SetLine(true);
    std::this_thread::sleep_for(400ms);
    EXPECT_TRUE(sim::Dtr("SRV_PTT"));
    server.activeGroup.Store(-1);
    std::this_thread::sleep_for(400ms);
    EXPECT_TRUE(sim::Dtr("SRV_PTT"));
    EXPECT_EQ(sim::DtrHistory("SRV_PTT").size(), 1u);  // raised once, never touched again
}

TEST_F(KeyingRelayTest, OneDsrKeysBothLinesWhenPttAndCwShareAPort) {
    Devices({"SRV_KEY", "G1_KEY"});
    // The server's PTT on DTR and CW on RTS of one device, as one cable.
    auto ptt = OpenServerLine("SRV_KEY", "DTR");
    auto cw = std::make_shared<KeyingLine>();
    cw->ShareWith(ptt, "RTS");
    server.pttLine.Replace(ptt)->Close();
    server.cwLine.Replace(cw)->Close();

    AppGroup group;
    group.ptt = Port("G1_KEY", "DTR");
    group.pttEnabled = true;
    group.cw = Port("G1_KEY", "RTS");
    group.cwEnabled = true;
    server.activeGroup.Store(1);
    manager.Start({{1, group}});
    EXPECT_EQ(log.Out(), (std::vector<std::string>{"[relay] PTT relay started for group 1\n",
                                                   "[relay] CW relay started for group 1\n"}));
    EXPECT_EQ(sim::OpenCount("G1_KEY"), 1);

    sim::SetDsr("G1_KEY", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_KEY", true, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_KEY", true, kBound));
    sim::SetDsr("G1_KEY", false);
    EXPECT_TRUE(sim::WaitForDtr("SRV_KEY", false, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_KEY", false, kBound));

    manager.Stop();
    EXPECT_FALSE(sim::IsHeld("G1_KEY"));
    EXPECT_EQ(sim::CloseCount("G1_KEY"), 1);
}

TEST_F(KeyingRelayTest, ALineHandedOverWhileRelaysRunIsUsedAtTheNextEdge) {
    Devices({"SRV_PTT2"});
    AppGroup group;
    group.ptt = Port("G1_PTT");
    group.pttEnabled = true;
    server.activeGroup.Store(1);
    manager.Start({{1, group}});

    // A reconfiguration replaces the server's line and closes the old one.
    server.pttLine.Replace(OpenServerLine("SRV_PTT2", "DTR"))->Close();
    sim::SetDsr("G1_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT2", true, kBound));
    EXPECT_TRUE(sim::DtrHistory("SRV_PTT").empty());

    // With no server line at all the relay carries on and keys nothing.
    server.pttLine.Take()->Close();
    sim::SetDsr("G1_PTT", false);
    std::this_thread::sleep_for(300ms);  // many polls: the relay has seen the drop
    server.pttLine.Replace(OpenServerLine("SRV_PTT", "DTR"));
    sim::SetDsr("G1_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
}

TEST_F(KeyingRelayTest, StoppingTheRelaysReleasesALineTheyKeyed) {
    AppGroup group;
    group.ptt = Port("G1_PTT");
    group.pttEnabled = true;
    group.cw = Port("G1_CW");
    group.cwEnabled = true;
    server.activeGroup.Store(1);
    sim::SetDsr("G1_PTT", true);
    manager.Start({{1, group}});
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    server.cwLine.Snapshot()->SetLine(true);  // keyed by CK, not by the relay

    manager.Stop();
    // The transmitter is not left keyed with no relay left to release it.
    EXPECT_FALSE(sim::Dtr("SRV_PTT"));
    EXPECT_TRUE(sim::IsHeld("SRV_PTT"));
    EXPECT_TRUE(sim::Rts("SRV_CW"));
    EXPECT_FALSE(sim::IsHeld("G1_PTT"));
    EXPECT_FALSE(sim::IsHeld("G1_CW"));
}

}  // namespace
}  // namespace brinmoor
