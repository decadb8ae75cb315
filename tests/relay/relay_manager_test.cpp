// Starting and stopping the relays: which relays start, the log lines, and
// every port closed again.
#include "relay/relay_manager.h"

#include <gtest/gtest.h>

#include <system_error>

#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

constexpr milliseconds kBound = 1500ms;

const std::vector<std::string> kGroupDevices = {"G1_PTT", "G2_CAT", "G2_KEY", "G2_WK", "G2_FSK"};

class RelayManagerTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        Devices({"SRV_PTT", "SRV_CW", "SRV_WK", "SRV_FSK"});
        for (const std::string& device : kGroupDevices) sim::CreateDevice(device);
        server.pttLine.Replace(OpenServerLine("SRV_PTT", "DTR"));
        server.cwLine.Replace(OpenServerLine("SRV_CW", "DTR"));
        server.winkeyPort.Replace(OpenServerPort("SRV_WK"));
        server.fskPort.Replace(OpenServerPort("SRV_FSK"));

        // Group 1's CAT port does not exist; group 2 has all five kinds,
        // PTT and CW on one cable.
        AppGroup one;
        one.cat = Port("MISSING");
        one.catEnabled = true;
        one.ptt = Port("G1_PTT");
        one.pttEnabled = true;
        AppGroup two;
        two.cat = Port("G2_CAT");
        two.catEnabled = true;
        two.ptt = Port("G2_KEY", "DTR");
        two.pttEnabled = true;
        two.cw = Port("G2_KEY", "RTS");
        two.cwEnabled = true;
        two.winkey = Port("G2_WK");
        two.winkeyEnabled = true;
        two.fsk = Port("G2_FSK");
        two.fskEnabled = true;
        table = {{2, two}, {1, one}};
    }

    AppGroupTable table;
};

const std::vector<std::string> kStartLines = {
    "[relay] Failed to open CAT port for group 1\n",
    "[relay] PTT relay started for group 1\n",
    "[relay] CAT relay started for group 2 on G2_CAT\n",
    "[relay] PTT relay started for group 2\n",
    "[relay] CW relay started for group 2\n",
    "[relay] WinKey relay started for group 2\n",
    "[relay] FSK relay started for group 2\n",
};

TEST_F(RelayManagerTest, StartLogsEachRelayAndStopClosesEveryPort) {
    manager.Start(table);
    EXPECT_EQ(log.Out(), kStartLines);
    EXPECT_TRUE(log.Err().empty());
    for (const std::string& device : kGroupDevices) EXPECT_TRUE(sim::IsHeld(device)) << device;
    EXPECT_EQ(sim::OpenCount("G2_KEY"), 1);
    EXPECT_EQ(sim::LastSettings("G2_WK")->baud, 38400u);  // the group's own settings

    // Idle relays end within about the CAT relay's half-second read.
    const auto stopping = Clock::now();
    manager.Stop();
    EXPECT_LT(MsSince(stopping), 2000);
    for (const std::string& device : kGroupDevices) {
        SCOPED_TRACE(device);
        EXPECT_FALSE(sim::IsHeld(device));
        EXPECT_EQ(sim::CloseCount(device), 1);
        EXPECT_FALSE(sim::Dtr(device));
        EXPECT_FALSE(sim::Rts(device));
    }
    // The server's own ports stay open; only the groups' are the manager's.
    EXPECT_TRUE(sim::IsHeld("SRV_WK"));
    manager.Stop();  // a stopped manager does nothing

    // The same configuration again opens the same ports again.
    log.Clear();
    RelayManager next(server.Context());
    next.Start(table);
    EXPECT_EQ(log.Out(), kStartLines);
    next.Stop();
    EXPECT_FALSE(sim::IsHeld("G2_CAT"));
}

TEST_F(RelayManagerTest, WinKeyAndFskStartOnlyBesideTheServersOwnOpenPorts) {
    server.winkeyPort.Take()->LockedClose();
    server.fskPort.Snapshot()->LockedClose();  // there, but closed
    manager.Start(table);
    std::vector<std::string> expected = kStartLines;
    expected.resize(5);
    EXPECT_EQ(log.Out(), expected);
    EXPECT_EQ(sim::OpenCount("G2_WK"), 0);
    EXPECT_EQ(sim::OpenCount("G2_FSK"), 0);
}

TEST_F(RelayManagerTest, AThreadThatCannotBeCreatedLeavesNoPortBehind) {
    // Threads in order: group 1 PTT; group 2 CAT, PTT, CW, ... The fourth
    // (group 2's CW) cannot be created.
    std::atomic<int> created{0};
    manager.SetThreadStarter([&created](std::function<void()> body) {
        if (++created == 4) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(body));
    });
    table[3].ptt = Port("G3_PTT");
    table[3].pttEnabled = true;
    sim::CreateDevice("G3_PTT");
    server.activeGroup.Store(2);
    manager.Start(table);

    EXPECT_EQ(log.Err(),
              std::vector<std::string>{"[relay] Could not start a relay thread for group 2\n"});
    std::vector<std::string> expected = kStartLines;
    expected.resize(4);
    EXPECT_EQ(log.Out(), expected);
    // Nothing is opened for the groups after it; the relays already running
    // keep working.
    EXPECT_EQ(sim::OpenCount("G2_WK"), 0);
    EXPECT_EQ(sim::OpenCount("G3_PTT"), 0);
    sim::SetDsr("G2_KEY", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(sim::Dtr("SRV_CW"));

    manager.Stop();
    for (const std::string& device : kGroupDevices) EXPECT_FALSE(sim::IsHeld(device)) << device;
}

TEST_F(RelayManagerTest, AFailedThreadClosesAPortOpenedForIt) {
    // The fifth thread is group 2's WinKeyFromApp: its port is closed at once.
    std::atomic<int> created{0};
    manager.SetThreadStarter([&created](std::function<void()> body) {
        if (++created == 5) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(body));
    });
    manager.Start(table);
    EXPECT_EQ(log.Err().size(), 1u);
    EXPECT_EQ(sim::OpenCount("G2_WK"), 1);
    EXPECT_FALSE(sim::IsHeld("G2_WK"));
    EXPECT_TRUE(sim::IsHeld("G2_KEY"));
    manager.Stop();
    EXPECT_FALSE(sim::IsHeld("G2_KEY"));
}

}  // namespace
}  // namespace brinmoor
