// The configuration steps for the server's own keying ports and for the app
// groups, in process over the simulated serial device: which devices open
// with which settings, which line PT and CK key, the failure lines, and the
// group names and relays a CFG leaves behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/control_commands.h"
#include "server/local_ports.h"
#include "server_test_support.h"

namespace brinmoor {
namespace {

using Lines = std::vector<std::string>;

class LocalPortsTest : public servertest::ServerFixture {
  protected:
    LocalPortsTest() {
        for (const char* name : {"COM4", "COM5", "COM6", "COM7", "COM8"}) sim::CreateDevice(name);
    }
    void Apply(const std::string& ports) {
        ApplyLocalPorts(state, ParseJsonDocument("{\"ports\": " + ports + "}"));
    }
    // Keys both lines and tells which of DTR and RTS each port shows. Only
    // the third character counts: '0' drops the line, anything else keys it.
    std::string KeyBoth() {
        Send("PTx");
        Send("CK1");
        std::string lines;
        for (const char* port : {"COM4", "COM5"}) {
            lines += std::string(sim::Dtr(port) ? "D" : "-") + (sim::Rts(port) ? "R" : "-") + " ";
        }
        Send("PT01");
        Send("CK0");
        const bool keyed =
            sim::Dtr("COM4") || sim::Rts("COM4") || sim::Dtr("COM5") || sim::Rts("COM5");
        return keyed ? "still keyed" : lines;
    }
};

TEST_F(LocalPortsTest, PttAndCwLinesAsTheirEntriesName) {
    EXPECT_EQ(Send("PT1"), "") << "without lines nothing happens";
    const struct {
        const char* ports;
        const char* keyed;  // COM4 then COM5: D for DTR, R for RTS
        int com4Opens;
    } cases[] = {
        // One port for both (named in any case): PTT keys DTR, CW RTS.
        {R"({"PTT": {"port": "COM4"}, "CW": {"port": "com4"}})", "DR -- ", 1},
        // "flow" names the line, on a shared port too.
        {R"({"PTT": {"port": "COM4"}, "CW": {"port": "COM4", "flow": "DTR"}})", "D- -- ", 1},
        // Each on its own port; an empty "flow" keys DTR.
        {R"({"PTT": {"port": "COM4", "flow": "rts"}, "CW": {"port": "COM5", "flow": ""}})",
         "-R D- ", 1},
        {R"({"PTT": {"port": "NONE"}, "CW": {"port": "COM5"}})", "-- D- ", 0},
    };
    for (const auto& c : cases) {
        CloseLocalPorts(state);
        sim::Reset();
        for (const char* name : {"COM4", "COM5"}) sim::CreateDevice(name);
        Apply(c.ports);
        EXPECT_EQ(KeyBoth(), c.keyed) << c.ports;
        EXPECT_EQ(sim::OpenCount("COM4"), c.com4Opens) << c.ports;
    }
    // A key held down is released when the next CFG closes the lines.
    Send("CK1");
    ASSERT_TRUE(sim::Dtr("COM5"));
    Apply(R"({"CAT": {"port": "COM9"}})");
    EXPECT_FALSE(sim::Dtr("COM5") || sim::IsHeld("COM5"));
    EXPECT_FALSE(state.pttLine.Snapshot() || state.cwLine.Snapshot());
    EXPECT_TRUE(log.Out().empty());

    // The PTT port fails: CW on the same port tries it alone, and says so too.
    sim::Vanish("COM4");
    Apply(R"({"PTT": {"port": "COM4"}, "CW": {"port": "COM4", "baud": 9600}})");
    EXPECT_EQ(log.Out(), (Lines{"[brinmoor] Failed to open PTT port COM4\n",
                                "[brinmoor] Failed to open CW port COM4\n"}));
}

TEST_F(LocalPortsTest, WinKeyAndFskPortsTakeTheirOwnDefaults) {
    Apply(R"({"WinKey": {"port": "COM6"}, "FSK": {"port": "COM7"}})");
    EXPECT_EQ(servertest::SettingsOf("COM6"), "1200 8 N 2");
    EXPECT_EQ(servertest::SettingsOf("COM7"), "45 8 N 1.5");
    EXPECT_TRUE(state.winkeyPort.Snapshot() && state.fskPort.Snapshot());

    Apply(R"({"FSK": {"port": "COM7", "baud": 50, "stopbits": "1", "parity": "mark"}})");
    EXPECT_EQ(servertest::SettingsOf("COM7"), "50 8 M 1");
    EXPECT_FALSE(sim::IsHeld("COM6"));

    // "none", a port that is a number, and the groups' spelling "winkey"
    // configure nothing and say nothing.
    Apply(R"({"WinKey": {"port": "none"}, "FSK": {"port": 5}, "winkey": {"port": "COM8"}})");
    EXPECT_FALSE(state.winkeyPort.Snapshot() || state.fskPort.Snapshot());
    EXPECT_FALSE(sim::IsHeld("COM7") || sim::IsHeld("COM8"));
    EXPECT_TRUE(log.Out().empty());

    sim::Vanish("COM6");
    Apply(R"({"WinKey": {"port": "COM6"}, "FSK": {"port": "COM99"}})");
    EXPECT_EQ(log.Out(), (Lines{"[brinmoor] Failed to open WinKey port COM6\n",
                                "[brinmoor] Failed to open FSK port COM99\n"}));
}

}  // namespace
}  // namespace brinmoor
