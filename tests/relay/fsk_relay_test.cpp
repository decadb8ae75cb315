// FSK relays through the manager: data and DSR keying from the active
// group's program to the server's FSK port.
#include "relay/fsk_relay.h"

#include <gtest/gtest.h>

#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

constexpr milliseconds kBound = 1500ms;

class FskRelayTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        Devices({"SRV_FSK", "G1_FSK"});
        server.fskPort.Replace(OpenServerPort("SRV_FSK"));
    }

    static AppGroup FskGroup(const std::string& flow) {
        AppGroup group;
        group.fsk = Port("G1_FSK", flow);
        group.fskEnabled = true;
        return group;
    }
};

TEST_F(FskRelayTest, FlowTextChoosesTheKeyedLinesInAnyCase) {
    struct Mode {
        const char* flow;
        bool dtr;
        bool rts;
    };
    server.activeGroup.Store(1);
    for (const Mode mode : {Mode{"dtr", true, false}, Mode{"Rts", false, true},
                            Mode{"dtr/rts", true, true}, Mode{"NONE", false, false}}) {
        SCOPED_TRACE(mode.flow);
        RelayManager relays(server.Context());
        relays.Start({{1, FskGroup(mode.flow)}});

        // Data passes in every mode.
        sim::Feed("G1_FSK", "RYRY");
        EXPECT_TRUE(sim::WaitForWritten("SRV_FSK", "RYRY", kBound));
        sim::TakeWritten("SRV_FSK");

        sim::SetDsr("G1_FSK", true);
        if (mode.dtr) {
            EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", true, kBound));
        }
        if (mode.rts) {
            EXPECT_TRUE(sim::WaitForRts("SRV_FSK", true, kBound));
        }
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(sim::Dtr("SRV_FSK"), mode.dtr);
        EXPECT_EQ(sim::Rts("SRV_FSK"), mode.rts);

        sim::SetDsr("G1_FSK", false);
        EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", false, kBound));
        EXPECT_TRUE(sim::WaitForRts("SRV_FSK", false, kBound));
        relays.Stop();
        EXPECT_FALSE(sim::IsHeld("G1_FSK"));
    }
}

TEST_F(FskRelayTest, OnlyTheActiveGroupSendsAndItsLinesDropWhenItStopsBeing) {
    server.activeGroup.Store(2);
    manager.Start({{1, FskGroup("DTR/RTS")}});
    EXPECT_EQ(log.Out(), std::vector<std::string>{"[relay] FSK relay started for group 1\n"});

    // Sent while inactive: held in the group's port, not lost.
    sim::Feed("G1_FSK", "CQ CQ");
    sim::SetDsr("G1_FSK", true);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(sim::Written("SRV_FSK"), "");
    EXPECT_FALSE(sim::Dtr("SRV_FSK"));
    EXPECT_EQ(sim::Unread("G1_FSK"), 5u);

    server.activeGroup.Store(1);
    EXPECT_TRUE(sim::WaitForWritten("SRV_FSK", "CQ CQ", kBound));
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", true, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_FSK", true, kBound));

    // AG to another group: the lines this relay raised drop although DSR
    // stays on, and come back when the group is active again.
    server.activeGroup.Store(2);
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", false, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_FSK", false, kBound));
    server.activeGroup.Store(1);
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", true, kBound));

    // The relay ends (reconfiguration): its lines drop with it.
    manager.Stop();
    EXPECT_FALSE(sim::Dtr("SRV_FSK"));
    EXPECT_FALSE(sim::Rts("SRV_FSK"));
}

}  // namespace
}  // namespace brinmoor
