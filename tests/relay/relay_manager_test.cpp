// Starting and stopping the relays: which relays start, the log lines, and
// every port closed again.
#include "relay/relay_manager.h"

#include <gtest/gtest.h>

#include <system_error>

#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

const std::vector<std::string> kGroupDevices = {"G1_PTT", "G2_CAT", "G2_PTT", "G2_WK", "G2_FSK"};

const std::vector<std::string> kStartLines = {
    "[relay] Failed to open CAT port for group 1\n",
    "[relay] PTT relay started for group 1\n",
    "[relay] CAT relay started for group 2 on G2_CAT\n",
    "[relay] PTT relay started for group 2\n",
    "[relay] CW relay started for group 2\n",
    "[relay] WinKey relay started for group 2\n",
    "[relay] FSK relay started for group 2\n",
};

class RelayManagerTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        // Group 1's CAT port does not exist; group 2 has all five kinds, PTT
        // and CW on one cable.
        table[1] = Group(1, "cat ptt");
        table[1].cat = Port("MISSING");
        table[2] = Group(2, "cat ptt cw winkey fsk");
        table[2].cw = Port("G2_PTT", "RTS");
    }

    // The n-th relay thread cannot be created.
    void FailThread(int n) {
        manager.SetThreadStarter([this, n](std::function<void()> body) {
            if (++created == n) {
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            return std::thread(std::move(body));
        });
    }

    AppGroupTable table;
    int created = 0;
};

TEST_F(RelayManagerTest, StartLogsEachRelayAndStopClosesEveryPort) {
    manager.Start(table);
    EXPECT_EQ(log.Out(), kStartLines);
    EXPECT_TRUE(log.Err().empty());
    for (const std::string& device : kGroupDevices) EXPECT_TRUE(sim::IsHeld(device)) << device;
    EXPECT_EQ(sim::OpenCount("G2_PTT"), 1);

    // Idle relays end within about the CAT relay's half-second read.
    const auto stopping = std::chrono::steady_clock::now();
    manager.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
    for (const std::string& device : kGroupDevices) {
        EXPECT_FALSE(sim::IsHeld(device)) << device;
        EXPECT_EQ(sim::CloseCount(device), 1) << device;
        EXPECT_FALSE(sim::Dtr(device) || sim::Rts(device)) << device;
    }
    // The server's own ports stay open; only the groups' are the manager's.
    EXPECT_TRUE(sim::IsHeld("SRV_WK"));
    manager.Stop();  // a stopped manager does nothing

    // The same configuration again opens the same ports again.
    log.Clear();
    RelayManager next(Context());
    next.Start(table);
    EXPECT_EQ(log.Out(), kStartLines);
}

TEST_F(RelayManagerTest, WinKeyAndFskStartOnlyBesideTheServersOwnOpenPorts) {
    winkeyPort.Take()->LockedClose();
    fskPort.Snapshot()->LockedClose();  // there, but closed
    manager.Start(table);
    EXPECT_EQ(log.Out(), std::vector<std::string>(kStartLines.begin(), kStartLines.begin() + 5));
    EXPECT_EQ(sim::OpenCount("G2_WK") + sim::OpenCount("G2_FSK"), 0);
}

TEST_F(RelayManagerTest, AThreadThatCannotBeCreatedLeavesNoPortBehind) {
    // Threads in order: group 1 PTT; group 2 CAT, PTT, CW, ... Group 2's CW
    // cannot be created: nothing is opened for the groups after it, and the
    // relays already running keep working.
    FailThread(4);
    table[3] = Group(3, "ptt");
    activeGroup.Store(2);
    manager.Start(table);
    EXPECT_EQ(log.Err(),
              std::vector<std::string>{"[relay] Could not start a relay thread for group 2\n"});
    EXPECT_EQ(log.Out(), std::vector<std::string>(kStartLines.begin(), kStartLines.begin() + 4));
    EXPECT_EQ(sim::OpenCount("G2_WK") + sim::OpenCount("G3_PTT"), 0);
    sim::SetDsr("G2_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    manager.Stop();
    for (const std::string& device : kGroupDevices) EXPECT_FALSE(sim::IsHeld(device)) << device;
}

TEST_F(RelayManagerTest, AFailedThreadClosesThePortOpenedForIt) {
    FailThread(5);  // group 2's WinKey relay from the program
    manager.Start(table);
    EXPECT_EQ(log.Err().size(), 1u);
    EXPECT_EQ(sim::OpenCount("G2_WK"), 1);
    EXPECT_FALSE(sim::IsHeld("G2_WK"));
    EXPECT_TRUE(sim::IsHeld("G2_PTT"));
}

}  // namespace
}  // namespace brinmoor
