// PTT and CW relays: a group program's DSR keys the server's own lines while
// the group is the active app.
#include "relay/keying_relays.h"

#include <gtest/gtest.h>

#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

using KeyingRelayTest = RelayTest;

TEST_F(KeyingRelayTest, ServerLinesFollowTheActiveGroupsDsrEdges) {
    AppGroup group = Group(1, "ptt cw");
    group.ptt.flow = "RTS";  // the group line's own name plays no part
    activeGroup.Store(1);
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
}

TEST_F(KeyingRelayTest, ChangingTheActiveAppDropsAndRaisesThePttLine) {
    activeGroup.Store(1);
    manager.Start({{1, Group(1, "ptt")}, {2, Group(2, "ptt")}});
    sim::SetDsr("G1_PTT", true);
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));

    // Another app becomes active while group 1 still holds its input.
    activeGroup.Store(2);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", false, kBound));
    // Back to group 1, whose DSR never dropped: the line comes back up.
    activeGroup.Store(1);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    // Group 2 keys once it is the active app.
    activeGroup.Store(2);
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", false, kBound));
    sim::SetDsr("G2_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
}

TEST_F(KeyingRelayTest, KeyingByTheControlClientIsNotUndoneByAnIdleRelay) {
    sim::SetDsr("G2_PTT", true);  // an inactive group holding its input
    activeGroup.Store(1);
    manager.Start({{1, Group(1, "ptt")}, {2, Group(2, "ptt")}});
    pttLine.Snapshot()->SetLine(true);  // what PT1 does
    // Neither the active relay, whose DSR is off, nor a change of the active
    // app touches a line the relays did not raise (the waits cover many polls).
    std::this_thread::sleep_for(150ms);
    activeGroup.Store(-1);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(sim::DtrHistory("SRV_PTT").size(), 1u);  // raised once, never touched again
}

TEST_F(KeyingRelayTest, OneDsrKeysBothLinesWhenPttAndCwShareAPort) {
    // The server's PTT on DTR and CW on RTS of one device, as one cable.
    pttLine.Take()->Close();
    cwLine.Take()->Close();
    auto ptt = OpenServerLine("SRV_PTT", "DTR");
    auto cw = std::make_shared<KeyingLine>();
    cw->ShareWith(ptt, "RTS");
    pttLine.Replace(ptt);
    cwLine.Replace(cw);

    AppGroup group = Group(1, "ptt cw");
    group.cw = Port("G1_PTT", "RTS");
    activeGroup.Store(1);
    manager.Start({{1, group}});
    EXPECT_EQ(sim::OpenCount("G1_PTT"), 1);
    EXPECT_EQ(sim::OpenCount("G1_CW"), 0);

    sim::SetDsr("G1_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_PTT", true, kBound));
    manager.Stop();
    EXPECT_FALSE(sim::IsHeld("G1_PTT"));
    EXPECT_EQ(sim::CloseCount("G1_PTT"), 1);
}

TEST_F(KeyingRelayTest, ALineHandedOverWhileRelaysRunIsUsedAtTheNextEdge) {
    activeGroup.Store(1);
    manager.Start({{1, Group(1, "ptt")}});
    // A reconfiguration replaces the server's line and closes the old one.
    sim::CreateDevice("SRV_PTT2");
    pttLine.Replace(OpenServerLine("SRV_PTT2", "DTR"))->Close();
    sim::SetDsr("G1_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT2", true, kBound));
    EXPECT_TRUE(sim::DtrHistory("SRV_PTT").empty());
}

TEST_F(KeyingRelayTest, StoppingTheRelaysReleasesALineTheyKeyed) {
    activeGroup.Store(1);
    sim::SetDsr("G1_PTT", true);
    manager.Start({{1, Group(1, "ptt cw")}});
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    cwLine.Snapshot()->SetLine(true);  // keyed by CK, not by the relay

    manager.Stop();
    // The transmitter is not left keyed with no relay left to release it.
    EXPECT_FALSE(sim::Dtr("SRV_PTT"));
    EXPECT_TRUE(sim::IsHeld("SRV_PTT"));
    EXPECT_TRUE(sim::Rts("SRV_CW"));
    EXPECT_FALSE(sim::IsHeld("G1_PTT") || sim::IsHeld("G1_CW"));
}

}  // namespace
}  // namespace brinmoor
