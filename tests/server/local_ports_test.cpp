// The configuration steps for the server's own keying ports and for the app
// groups, in process over the simulated serial device: which devices open
// with which settings, which line PT and CK drive, the failure lines, and
// the group names and relays a CFG leaves behind.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "config/json.h"
#include "server/control_commands.h"
#include "server/ext_groups.h"
#include "server/local_ports.h"
#include "server/server_state.h"
#include "server_test_support.h"
#include "support/sim_serial_device.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using servertest::LogCapture;

class LocalPortsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        for (const char* name : {"COM4", "COM5", "COM6", "COM7", "COM8"}) sim::CreateDevice(name);
    }
    void TearDown() override {
        StopRelays(state);
        CloseLocalPorts(state);
    }

    void Apply(const std::string& ports) {
        ApplyLocalPorts(state, ParseJsonDocument("{\"ports\": " + ports + "}"));
    }

    ServerState state;
    LogCapture log;
};

TEST_F(LocalPortsTest, PttAndCwOnOnePortKeyDtrAndRts) {
    Apply(R"({"PTT": {"port": "COM4"}, "CW": {"port": "com4"}})");
    EXPECT_EQ(sim::OpenCount("COM4"), 1);
    ASSERT_TRUE(state.pttLine.Snapshot() && state.cwLine.Snapshot());
    PtCommand(state, "PT1");
    EXPECT_TRUE(sim::Dtr("COM4"));
    EXPECT_FALSE(sim::Rts("COM4"));
    CkCommand(state, "CKx");  // anything but '0' keys
    EXPECT_TRUE(sim::Rts("COM4"));
    CkCommand(state, "CK0");
    PtCommand(state, "PT0");
    EXPECT_FALSE(sim::Dtr("COM4"));
    EXPECT_FALSE(sim::Rts("COM4"));

    // "flow" "DTR" on the sharing CW line keys the PTT line's DTR.
    Apply(R"({"PTT": {"port": "COM4"}, "CW": {"port": "COM4", "flow": "DTR"}})");
    CkCommand(state, "CK1");
    EXPECT_TRUE(sim::Dtr("COM4"));
    EXPECT_FALSE(sim::Rts("COM4"));

    // A key held down is released when the next CFG closes the lines.
    Apply(R"({"CAT": {"port": "COM9"}})");
    EXPECT_FALSE(sim::Dtr("COM4"));
    EXPECT_FALSE(sim::IsHeld("COM4"));
    EXPECT_FALSE(state.pttLine.Snapshot() || state.cwLine.Snapshot());
    EXPECT_TRUE(log.Out().empty());
}

TEST_F(LocalPortsTest, CwOnItsOwnPortAndAfterAFailedPtt) {
    Apply(R"({"PTT": {"port": "COM4", "flow": "rts"}, "CW": {"port": "COM5", "flow": ""}})");
    EXPECT_TRUE(sim::IsHeld("COM4") && sim::IsHeld("COM5"));
    PtCommand(state, "PT1");
    EXPECT_TRUE(sim::Rts("COM4"));
    CkCommand(state, "CK1");
    EXPECT_TRUE(sim::Dtr("COM5"));  // an empty "flow" keys DTR

    // The PTT port fails; CW on the same port tries it alone, with DTR.
    sim::Vanish("COM4");
    Apply(R"({"PTT": {"port": "COM4"}, "CW": {"port": "COM4", "baud": 9600}})");
    EXPECT_EQ(log.Out(), (std::vector<std::string>{"[brinmoor] Failed to open PTT port COM4\n",
                                                   "[brinmoor] Failed to open CW port COM4\n"}));
    sim::Reappear("COM4");
    Apply(R"({"PTT": {"port": "NONE"}, "CW": {"port": "COM4", "baud": 9600}})");
    ASSERT_TRUE(sim::LastSettings("COM4"));
    EXPECT_EQ(sim::LastSettings("COM4")->baud, 9600u);
    CkCommand(state, "CK1");
    EXPECT_TRUE(sim::Dtr("COM4"));
    PtCommand(state, "PT1");  // no PTT line: nothing happens
}

TEST_F(LocalPortsTest, WinKeyAndFskSettingsAndNoPortEntries) {
    Apply(R"({"WinKey": {"port": "COM6"}, "FSK": {"port": "COM7"}})");
    ASSERT_TRUE(sim::LastSettings("COM6") && sim::LastSettings("COM7"));
    EXPECT_EQ(sim::LastSettings("COM6")->baud, 1200u);
    EXPECT_EQ(sim::LastSettings("COM6")->dataBits, 8);
    EXPECT_EQ(sim::LastSettings("COM6")->parity, SerialParity::None);
    EXPECT_EQ(sim::LastSettings("COM6")->stopBits, SerialStopBits::Two);
    EXPECT_EQ(sim::LastSettings("COM7")->baud, 45u);
    EXPECT_EQ(sim::LastSettings("COM7")->stopBits, SerialStopBits::OneAndHalf);
    EXPECT_TRUE(state.winkeyPort.Snapshot() && state.fskPort.Snapshot());

    Apply(R"({"FSK": {"port": "COM7", "baud": 50, "stopbits": "1", "parity": "even"}})");
    EXPECT_EQ(sim::LastSettings("COM7")->baud, 50u);
    EXPECT_EQ(sim::LastSettings("COM7")->stopBits, SerialStopBits::One);
    EXPECT_EQ(sim::LastSettings("COM7")->parity, SerialParity::Even);
    EXPECT_FALSE(sim::IsHeld("COM6"));

    // "none", a port that is a number, and the groups' spelling "winkey"
    // configure nothing and say nothing.
    Apply(R"({"WinKey": {"port": "none"}, "FSK": {"port": 5}, "winkey": {"port": "COM8"}})");
    EXPECT_FALSE(state.winkeyPort.Snapshot() || state.fskPort.Snapshot());
    EXPECT_FALSE(sim::IsHeld("COM7") || sim::IsHeld("COM8"));
    EXPECT_TRUE(log.Out().empty());

    sim::Vanish("COM6");
    Apply(R"({"WinKey": {"port": "COM6"}, "FSK": {"port": "COM99"}})");
    EXPECT_EQ(log.Out(), (std::vector<std::string>{"[brinmoor] Failed to open WinKey port COM6\n",
                                                   "[brinmoor] Failed to open FSK port COM99\n"}));
}

TEST_F(LocalPortsTest, ExtGroupsNamesAndRelays) {
    auto name = [&](int group) {
        AgCommand(state, "AG" + std::to_string(group));
        return log.Out().back();
    };
    ApplyExtGroups(state, ParseJsonDocument(
                              R"({"-1": {"name": "Nobody"}, "2x": {}, "3": {"name": ""},
                                  "4": {"cat": {"port": "COM5"}}})"));
    EXPECT_EQ(name(-1), "[relay] Active app set to 'Nobody' (group -1)\n");
    EXPECT_EQ(name(2), "[relay] Active app set to 'Group 2x' (group 2)\n");
    EXPECT_EQ(name(3), "[relay] Active app set to '' (group 3)\n");
    ASSERT_TRUE(state.relays.Snapshot());
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[relay] CAT relay started for group 4 on COM5\n"));
    EXPECT_TRUE(sim::IsHeld("COM5"));

    // A key without a number stops the relays and leaves none.
    EXPECT_THROW(ApplyExtGroups(state, ParseJsonDocument(R"({"1": {}, "x": {}})")),
                 std::invalid_argument);
    EXPECT_FALSE(state.relays.Snapshot());
    EXPECT_FALSE(sim::IsHeld("COM5"));
    EXPECT_EQ(name(1), "[relay] Active app set to 'Group 1' (group 1)\n");
    EXPECT_EQ(name(-1), "[relay] Active app set to 'Default' (group -1)\n");

    // Not an object: no groups, said so.
    log.Clear();
    ApplyExtGroups(state, ParseJsonDocument("\"text\""));
    EXPECT_EQ(log.Out(), std::vector<std::string>{"[relay] No external app ports configured\n"});
    EXPECT_FALSE(state.relays.Snapshot());
}

}  // namespace
}  // namespace brinmoor
