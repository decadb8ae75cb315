// FSK relays: data and DSR keying from the active group's program to the
// server's FSK port.
#include "relay/fsk_relay.h"

#include <gtest/gtest.h>

#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

using FskRelayTest = RelayTest;

TEST(FskKeying, FlowTextChoosesTheKeyedLinesInAnyCase) {
    struct Mode {
        const char* flow;
        bool dtr;
        bool rts;
    };
    for (const Mode mode :
         {Mode{"dtr", true, false}, Mode{"Rts", false, true}, Mode{"dtr/rts", true, true},
          Mode{"DTR/RTS", true, true}, Mode{"NONE", false, false}, Mode{"", false, false}}) {
        const FskKeying keying = FskKeyingFromFlow(mode.flow);
        EXPECT_EQ(keying.dtr, mode.dtr) << mode.flow;
        EXPECT_EQ(keying.rts, mode.rts) << mode.flow;
    }
}

TEST_F(FskRelayTest, OnlyTheActiveGroupSendsAndItsLinesDropWhenItStopsBeing) {
    AppGroup group = Group(1, "fsk");
    group.fsk.flow = "DTR/RTS";
    activeGroup.Store(2);
    manager.Start({{1, group}});

    // Sent while inactive: held in the group's port, not lost.
    sim::Feed("G1_FSK", "CQ CQ");
    sim::SetDsr("G1_FSK", true);
    std::this_thread::sleep_for(300ms);  // many rounds of an active relay
    EXPECT_EQ(sim::Written("SRV_FSK"), "");
    EXPECT_EQ(sim::Unread("G1_FSK"), 5u);
    EXPECT_FALSE(sim::Dtr("SRV_FSK"));

    activeGroup.Store(1);
    EXPECT_TRUE(sim::WaitForWritten("SRV_FSK", "CQ CQ", kBound));
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", true, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_FSK", true, kBound));
    sim::SetDsr("G1_FSK", false);
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", false, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_FSK", false, kBound));

    // AG to another group: the lines this relay raised drop although DSR
    // stays on, and come back when the group is active again.
    sim::SetDsr("G1_FSK", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", true, kBound));
    activeGroup.Store(2);
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", false, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_FSK", false, kBound));
    activeGroup.Store(1);
    EXPECT_TRUE(sim::WaitForRts("SRV_FSK", true, kBound));

    // The relay ends (reconfiguration): its lines drop with it.
    manager.Stop();
    EXPECT_FALSE(sim::Dtr("SRV_FSK") || sim::Rts("SRV_FSK"));
}

}  // namespace
}  // namespace brinmoor
