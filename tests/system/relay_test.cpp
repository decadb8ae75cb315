// App groups of the real server on pseudo-terminals: station programs reading
// and changing the radio simulator through their groups' CAT ports, the
// server's own ports, reconfiguration with the same ports, and the WinKey and
// FSK data paths through the server's own ports. Modem lines (PTT, CW, FSK
// keying by DSR) do not exist on pseudo-terminals; the in-process relay
// tests cover them.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/posix/pty.h"
#include "support/posix/station.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using test::DeviceLocked;
using test::PseudoTerminal;

// A port entry of the CFG document.
std::string Entry(const std::string& port, const std::string& more = "") {
    return "{\"port\": \"" + port + "\"" + more + "}";
}

// A query from a program on its group's CAT port: what it gets back up to the
// first ";" (and whatever came with it).
std::string Ask(PseudoTerminal& program, std::string_view command, milliseconds timeout = 5s) {
    program.TakeReceived();
    if (!program.Write(command)) return "<write failed>";
    program.WaitFor(";", timeout);
    return program.TakeReceived();
}

class RelaySystemTest : public test::StationTest {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartStation({"--log"}, {}, false)); }

    void TearDown() override {
        if (!control) return;
        control->Send("QUIT;");
        EXPECT_EQ(server.Wait(10s), 0);
        server.DrainOutput();
        for (const std::string& line : server.ErrLines()) ADD_FAILURE() << "stderr: " << line;
    }

    // Sends "CFG" and the document; stopping the old relays takes up to a
    // second or so, hence the long wait.
    void Configure(const std::string& document) {
        ASSERT_EQ(control->Ask("CFG" + document + ";", 15s), "CFG_OK;") << document;
    }

    std::string CatEntry() const { return "\"CAT\": " + Entry(radio.Path()); }

    void Activate(int group, const std::string& name) {
        ASSERT_EQ(control->Ask("AG" + std::to_string(group) + ";"), "AG_OK;");
        ASSERT_TRUE(server.WaitOut("[relay] Active app set to '" + name + "' (group " +
                                   std::to_string(group) + ")"));
    }

    // Whether a line with the text was printed, waiting a little for late lines.
    bool Printed(const std::string& text) {
        server.DrainOutput(500ms);
        const auto& lines = server.OutLines();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.find(text) != line.npos; });
    }
};

// Two groups' programs: every program reads the radio (lower case goes out
// upper-cased), only the active app's set commands reach it, and a command
// ends at its ";" or after half a second of silence.
TEST_F(RelaySystemTest, ProgramsReadTheRadioAndOnlyTheActiveOneChangesIt) {
    PseudoTerminal nine;
    PseudoTerminal ten;
    // Keys are visited as text ("10" before "9"); groups start by number.
    ASSERT_NO_FATAL_FAILURE(Configure(
        "{\"ports\": {" + CatEntry() + "}, \"ext_groups\": {\"10\": {\"name\": \"Contest\", " +
        "\"cat\": " + Entry(ten.SlavePath()) +
        "}, \"9\": {\"name\": \"Digital\", \"cat\": " + Entry(nine.SlavePath()) + "}}}"));
    EXPECT_TRUE(server.WaitOut("[relay] CAT relay started for group 9 on " + nine.SlavePath()));
    EXPECT_TRUE(server.WaitOut("[relay] CAT relay started for group 10 on " + ten.SlavePath()));

    EXPECT_EQ(Ask(nine, "fa;"), "FA00014074000;");
    EXPECT_TRUE(radio.WaitLog("rx FA;", 2s));
    // A set command of an inactive program never reaches the radio; the
    // query behind it is handled after it, so its answer shows that.
    EXPECT_EQ(Ask(ten, "FA00014075000;FA;"), "FA00014074000;");

    ASSERT_NO_FATAL_FAILURE(Activate(9, "Digital"));
    ASSERT_TRUE(nine.Write("fa00007074000;"));
    EXPECT_TRUE(radio.WaitLog("rx FA00007074000;", 3s));
    EXPECT_EQ(nine.ReadFor(300ms), "") << "a set command gets no answer";
    EXPECT_EQ(Ask(ten, "FA00007000000;FA;"), "FA00007074000;") << "every program sees the change";
    nine.TakeReceived();
    ASSERT_TRUE(nine.Write("FA;MD;"));
    EXPECT_TRUE(nine.WaitFor("MD2;", 5s));
    EXPECT_EQ(nine.TakeReceived(), "FA00007074000;MD2;");

    // Half a second of silence ends a command; the ";" that comes late is
    // an empty command: nothing to the radio, nothing back.
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(ten.Write("md"));
    EXPECT_TRUE(ten.WaitFor("MD2;", 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 400ms);
    EXPECT_EQ(ten.TakeReceived(), "MD2;");
    ASSERT_TRUE(ten.Write(";"));
    EXPECT_EQ(ten.ReadFor(800ms), "");

    ASSERT_NO_FATAL_FAILURE(Activate(10, "Contest"));
    EXPECT_EQ(Ask(nine, "FA00014074000;FA;"), "FA00007074000;");
    EXPECT_EQ(Ask(ten, "FA00003573000;FA;"), "FA00003573000;");
    // A number without a group, or the default: nobody may change the radio.
    for (const auto& [group, name] : {std::pair{7, "Group 7"}, std::pair{-1, "Default"}}) {
        ASSERT_NO_FATAL_FAILURE(Activate(group, name));
        EXPECT_EQ(Ask(nine, "FA00014074000;FA;"), "FA00003573000;");
        EXPECT_EQ(Ask(ten, "FA00014074000;FA;"), "FA00003573000;");
    }
}

TEST_F(RelaySystemTest, ReconfigurationReopensTheSamePorts) {
    PseudoTerminal program;
    PseudoTerminal keying;
    const std::string document =
        "{\"ports\": {" + CatEntry() + "}, \"ext_groups\": {\"1\": {\"name\": \"Logger\", " +
        "\"cat\": " + Entry(program.SlavePath()) + ", \"ptt\": " + Entry(keying.SlavePath()) +
        ", \"cw\": " + Entry(keying.SlavePath()) + "}}}";
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_NO_FATAL_FAILURE(Configure(document));
        for (const char* kind : {"CAT", "PTT", "CW"}) {
            EXPECT_TRUE(server.WaitOut(std::string("[relay] ") + kind + " relay started for group 1"));
        }
        EXPECT_TRUE(DeviceLocked(program.SlavePath()) && DeviceLocked(keying.SlavePath()));
        // The active app chosen before the CFG is still the active app.
        const std::string frequency = "0001407" + std::to_string(round) + "000";
        EXPECT_EQ(Ask(program, "FA" + frequency + ";FA;"), "FA" + frequency + ";");
    }
    EXPECT_FALSE(Printed("Failed to open"));

    // A CFG without "ext_groups" stops the relays and closes their ports; the
    // names stay.
    ASSERT_NO_FATAL_FAILURE(Configure("{}"));
    EXPECT_FALSE(DeviceLocked(program.SlavePath()) || DeviceLocked(keying.SlavePath()));
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Logger"));
}

// The server's own ports through the real binary (their rules and log lines
// are tested in process): each opens with its settings or says it failed, and
// the next "ports" closes what it no longer names.
TEST_F(RelaySystemTest, LocalPortsOpenWithTheirSettingsOrSaySoAndCloseAgain) {
    PseudoTerminal keying;
    PseudoTerminal winkey;
    PseudoTerminal fsk;
    const std::string missing = "/dev/brinmoor-missing-port";
    ASSERT_NO_FATAL_FAILURE(Configure(
        "{\"ports\": {" + CatEntry() + ", \"PTT\": " + Entry(keying.SlavePath()) +
        ", \"CW\": " + Entry(missing) + ", \"WinKey\": " + Entry(winkey.SlavePath()) +
        ", \"FSK\": " + Entry(fsk.SlavePath()) + "}, \"ext_groups\": {\"1\": {\"cat\": " +
        Entry(missing) + "}}}"));
    EXPECT_TRUE(server.WaitOut("[brinmoor] Failed to open CW port " + missing));
    EXPECT_TRUE(server.WaitOut("[relay] Failed to open CAT port for group 1"));
    for (const PseudoTerminal* pty : {&keying, &winkey, &fsk}) {
        EXPECT_TRUE(DeviceLocked(pty->SlavePath()));
    }
    EXPECT_EQ(keying.LineSettings().baud, 38400u);
    EXPECT_FALSE(keying.LineSettings().twoStopBits);
    EXPECT_EQ(winkey.LineSettings().baud, 1200u);
    EXPECT_TRUE(winkey.LineSettings().twoStopBits);
    EXPECT_EQ(fsk.LineSettings().baud, 45u);
    // Keying from the control client on a line without modem lines is harmless.
    ASSERT_TRUE(control->Send("PT1;CK1;CK0;PT0;"));
    EXPECT_EQ(control->Ask("FA;"), "FA00014074000;");

    ASSERT_NO_FATAL_FAILURE(Configure("{\"ports\": {" + CatEntry() + ", \"FSK\": " +
                                      Entry(fsk.SlavePath(), ", \"baud\": 50") + "}}"));
    EXPECT_EQ(fsk.LineSettings().baud, 50u);
    EXPECT_FALSE(DeviceLocked(keying.SlavePath()) || DeviceLocked(winkey.SlavePath()));
    EXPECT_EQ(control->Ask("FA;"), "FA00014074000;") << "the CAT port stays open";
}

TEST_F(RelaySystemTest, WinKeyAndFskBytesGoThroughTheServersOwnPorts) {
    PseudoTerminal keyer;      // the WinKey keyer on the server's WinKey port
    PseudoTerminal fskLine;    // the radio's FSK input on the server's FSK port
    PseudoTerminal winkeyOne;  // programs of groups 1 and 2
    PseudoTerminal winkeyTwo;
    PseudoTerminal fskOne;
    PseudoTerminal fskTwo;
    ASSERT_NO_FATAL_FAILURE(Configure(
        "{\"ports\": {" + CatEntry() + ", \"WinKey\": " + Entry(keyer.SlavePath()) +
        ", \"FSK\": " + Entry(fskLine.SlavePath()) + "}, \"ext_groups\": {\"1\": {\"winkey\": " +
        Entry(winkeyOne.SlavePath()) + ", \"fsk\": " + Entry(fskOne.SlavePath()) +
        "}, \"2\": {\"winkey\": " + Entry(winkeyTwo.SlavePath()) +
        ", \"fsk\": " + Entry(fskTwo.SlavePath(), ", \"flow\": \"none\"") + "}}}"));
    for (const char* relay : {"WinKey relay started for group 1", "FSK relay started for group 1",
                              "WinKey relay started for group 2", "FSK relay started for group 2"}) {
        EXPECT_TRUE(server.WaitOut(std::string("[relay] ") + relay));
    }

    // Nobody active: a program's WinKey bytes are dropped, not held back.
    ASSERT_TRUE(winkeyOne.Write("early"));
    EXPECT_EQ(keyer.ReadFor(300ms), "");
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
    const std::string open("\x00\x02", 2);
    ASSERT_TRUE(winkeyOne.Write(open));
    EXPECT_TRUE(keyer.WaitFor(open, 3s));
    EXPECT_EQ(keyer.TakeReceived(), open);
    // Every byte of the keyer reaches the active program only.
    const std::string echo = "\xc0" "0123456789abcdefghijklmnopqrstuvwxyz";
    ASSERT_TRUE(keyer.Write(echo));
    EXPECT_TRUE(winkeyOne.WaitFor(echo, 5s)) << winkeyOne.TakeReceived();
    ASSERT_NO_FATAL_FAILURE(Activate(2, "Group 2"));
    ASSERT_TRUE(winkeyTwo.Write("now"));
    EXPECT_TRUE(keyer.WaitFor("now", 3s));
    EXPECT_EQ(winkeyTwo.ReadFor(100ms), "");
    EXPECT_EQ(winkeyOne.ReadFor(100ms), "");

    // FSK data of the active program goes to the server's FSK port; data of
    // an inactive one waits in its port and follows once it is active.
    ASSERT_TRUE(fskTwo.Write("RYRY"));
    EXPECT_TRUE(fskLine.WaitFor("RYRY", 3s));
    fskLine.TakeReceived();
    ASSERT_TRUE(fskOne.Write("CQ CQ"));
    EXPECT_EQ(fskLine.ReadFor(300ms), "");
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
    EXPECT_TRUE(fskLine.WaitFor("CQ CQ", 3s));
}

// A program sends a 256 KiB macro to a 45-baud FSK line: the server feeds
// the line about as fast as it sends, so when AG moves away next to nothing
// more goes out, and AG, CFG and QUIT never wait behind the macro. The
// figures are printed for docs/reliability.md.
TEST_F(RelaySystemTest, ASlowFskMacroStopsWithItsGroupAndHoldsNothingUp) {
    PseudoTerminal fskLine;
    PseudoTerminal fskOne;
    PseudoTerminal fskTwo;
    const std::string document =
        "{\"ports\": {" + CatEntry() + ", \"FSK\": " + Entry(fskLine.SlavePath()) +
        "}, \"ext_groups\": {\"1\": {\"fsk\": " + Entry(fskOne.SlavePath()) +
        "}, \"2\": {\"fsk\": " + Entry(fskTwo.SlavePath()) + "}}}";
    ASSERT_NO_FATAL_FAILURE(Configure(document));
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
    std::atomic<bool> sending{true};
    std::thread program([&] {  // the macro, as fast as the port takes it
        const std::string macro(256 * 1024, 'R');
        std::size_t sent = 0;
        while (sending && sent < macro.size()) {
            pollfd room{fskOne.MasterFd(), POLLOUT, 0};
            if (poll(&room, 1, 50) <= 0) continue;
            const ssize_t n = write(fskOne.MasterFd(), macro.data() + sent,
                                    std::min<std::size_t>(256, macro.size() - sent));
            if (n > 0) sent += static_cast<std::size_t>(n);
            if (n < 0 && errno != EAGAIN) break;
        }
    });
    const auto timed = [](auto&& what) {
        const auto start = std::chrono::steady_clock::now();
        what();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    // The radio's end takes what a 45-baud line carries (8 data bits, 1.5
    // stop bits: a character each 233 ms); what waits beyond it when AG
    // comes would go out after AG.
    std::size_t sent = 0;
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(233ms);
        char byte;
        if (read(fskLine.MasterFd(), &byte, 1) == 1) ++sent;
    }
    EXPECT_GE(sent, 4u);

    const double ag = timed([&] { EXPECT_EQ(control->Ask("AG2;"), "AG_OK;"); });
    const std::size_t afterAg = fskLine.ReadFor(2s).size();
    EXPECT_LE(afterAg, 1024u);

    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
    EXPECT_TRUE(fskLine.WaitFor("RRRR", 5s)) << "the macro goes on from the program's port";
    const double cfg = timed([&] { Configure(document); });
    EXPECT_TRUE(fskLine.WaitFor("RRRRRRRR", 5s));
    server.DrainOutput(10ms);
    const double quit = timed([&] {
        EXPECT_EQ(control->Ask("QUIT;"), "QUIT_OK;");
        EXPECT_EQ(server.Wait(15s), 0);
    });
    control.reset();
    sending = false;
    program.join();
    std::printf(
        "FSK at 45 baud, 256 KiB macro: %zu bytes after AG; AG %.3f s, CFG %.3f s, "
        "QUIT %.3f s\n",
        afterAg, ag, cfg, quit);
    EXPECT_LT(quit, 3.0);
}

// QUIT while relays run, a program and two clients wait on a radio gone
// silent and another client is in the middle of a frame: the server ends
// promptly, closes every connection and releases every port.
TEST_F(RelaySystemTest, ShutdownStopsRunningRelaysAndClosesEveryPort) {
    PseudoTerminal program;
    PseudoTerminal keying;
    PseudoTerminal keyer;
    PseudoTerminal winkey;
    ASSERT_NO_FATAL_FAILURE(Configure(
        "{\"ports\": {" + CatEntry() + ", \"PTT\": " + Entry(keying.SlavePath()) +
        ", \"WinKey\": " + Entry(keyer.SlavePath()) + "}, \"ext_groups\": {\"1\": {\"cat\": " +
        Entry(program.SlavePath()) + ", \"winkey\": " + Entry(winkey.SlavePath()) + "}}}"));
    ASSERT_TRUE(server.WaitOut("[relay] WinKey relay started for group 1"));
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
    ASSERT_TRUE(radio.Control("silent on"));
    ASSERT_TRUE(program.Write("FA;"));
    test::TcpClient idle(server.Port());
    test::TcpClient busy(server.Port());
    test::TcpClient queued(server.Port());
    idle.Send("PARTIAL");
    busy.Send("FA;");
    queued.Send("IF;FA;IF;");
    EXPECT_TRUE(radio.WaitLog("rx FA;", 5s));

    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(control->Ask("QUIT;"), "QUIT_OK;");
    EXPECT_EQ(server.Wait(10s), 0);
    // About 2.5 s at most (the listener's wake-up, the transaction in
    // flight, the relays' own pauses); the margin is for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 8s);
    EXPECT_TRUE(server.WaitOut("[brinmoor] Shutting down."));
    for (test::TcpClient* client : {&idle, &busy, &queued}) EXPECT_TRUE(client->WaitClosed(1s));
    for (const PseudoTerminal* pty : {&program, &keying, &keyer, &winkey}) {
        EXPECT_FALSE(DeviceLocked(pty->SlavePath()));
    }
    control.reset();
}

}  // namespace
}  // namespace brinmoor
