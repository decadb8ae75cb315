// App groups of the real server on pseudo-terminals: station programs reading
// and changing the radio simulator through their groups' CAT ports, the
// relay log lines, reconfiguration with the same ports, and the WinKey and
// FSK data paths through the server's own ports. Modem lines (PTT, CW, FSK
// keying by DSR) do not exist on pseudo-terminals; the in-process relay
// tests cover them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/posix/null_modem.h"
#include "support/posix/pty.h"
#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using test::DeviceLocked;
using test::PseudoTerminal;
using test::RadioSim;
using test::ServerProcess;
using test::TcpClient;

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

class RelaySystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(radio.Start({"--log"}));
        ASSERT_TRUE(server.StartListening());
        client = std::make_unique<TcpClient>(server.Port());
        ASSERT_TRUE(client->Connected());
    }

    void TearDown() override {
        if (!client) return;
        client->Send("QUIT;");
        EXPECT_EQ(server.Wait(10s), 0);
        server.DrainOutput();
        for (const std::string& line : server.ErrLines()) ADD_FAILURE() << "stderr: " << line;
    }

    // Sends "CFG" and the document; stopping the old relays takes up to a
    // second or so, hence the long wait.
    void Configure(const std::string& document) {
        ASSERT_EQ(client->Ask("CFG" + document + ";", 15s), "CFG_OK;") << document;
    }

    std::string CatEntry() const { return "\"CAT\": " + Entry(radio.Path()); }

    void Activate(int group, const std::string& name) {
        ASSERT_EQ(client->Ask("AG" + std::to_string(group) + ";"), "AG_OK;");
        ASSERT_TRUE(server.WaitOut("[relay] Active app set to '" + name + "' (group " +
                                   std::to_string(group) + ")"));
    }

    // Where the server's standard output has got to, for PrintedSince.
    std::size_t Mark() const { return server.OutLines().size(); }

    // Whether a line with the text was printed after the mark, waiting a
    // little for late lines (they stay for later waits).
    bool PrintedSince(std::size_t mark, const std::string& text) {
        server.DrainOutput(500ms);
        const auto& lines = server.OutLines();
        return std::any_of(lines.begin() + static_cast<std::ptrdiff_t>(mark), lines.end(),
                           [&](const std::string& line) { return line.find(text) != line.npos; });
    }

    RadioSim radio;
    ServerProcess server;
    std::unique_ptr<TcpClient> client;
};

TEST_F(RelaySystemTest, ProgramsReadTheRadioAndOnlyTheActiveOneChangesIt) {
    PseudoTerminal program;
    ASSERT_TRUE(program.IsOpen());
    ASSERT_NO_FATAL_FAILURE(Configure(
        "{\"ports\": {" + CatEntry() +
        "}, \"ext_groups\": {\"1\": {\"name\": \"Logger\", \"cat\": " + Entry(program.SlavePath()) +
        "}}}"));
    EXPECT_TRUE(server.WaitOut("[relay] CAT relay started for group 1 on " + program.SlavePath()));

    // Lower case goes to the radio upper-cased; queries are answered while the
    // group is not the active app.
    EXPECT_EQ(Ask(program, "fa;"), "FA00014074000;");
    EXPECT_TRUE(radio.WaitLog("rx FA;", 2s));
    EXPECT_EQ(Ask(program, "id;"), "ID019;");

    // A set command of an inactive program never reaches the radio; the
    // query behind it is handled after it, so its answer shows that.
    EXPECT_EQ(Ask(program, "FA00014075000;FA;"), "FA00014074000;");
    EXPECT_EQ(client->Ask("FA;"), "FA00014074000;");

    ASSERT_NO_FATAL_FAILURE(Activate(1, "Logger"));
    ASSERT_TRUE(program.Write("fa00007010000;"));
    EXPECT_TRUE(radio.WaitLog("rx FA00007010000;", 3s));
    EXPECT_EQ(program.ReadFor(300ms), "") << "a set command gets no answer";
    EXPECT_EQ(client->Ask("FA;"), "FA00007010000;");

    // Several commands in one write are answered one after the other.
    program.TakeReceived();
    ASSERT_TRUE(program.Write("FA;MD;"));
    EXPECT_TRUE(program.WaitFor("MD2;", 5s));
    EXPECT_EQ(program.TakeReceived(), "FA00007010000;MD2;");

    // ";" alone is an empty command: nothing to the radio, nothing back.
    ASSERT_TRUE(program.Write(";"));
    EXPECT_EQ(program.ReadFor(800ms), "");

    // Back to the default: the program may read but no longer change.
    ASSERT_NO_FATAL_FAILURE(Activate(-1, "Default"));
    EXPECT_EQ(Ask(program, "FA00014074000;FA;"), "FA00007010000;");
}

TEST_F(RelaySystemTest, InactiveProgramsReadInTheRadiosDialectAndChangeNothing) {
    struct Case {
        const char* id;
        std::vector<std::pair<std::string, std::string>> reads;
        std::string sets;  // would change a radio of this dialect
    };
    const Case cases[] = {
        // Kenwood: bare codes read; "MD1" is LSB, the others switch things on.
        {"019",
         {{"MD;", "MD2;"},
          {"NB;", "NB0;"},
          {"NR;", "NR0;"},
          {"PA;", "PA0;"},
          {"RG;", "RG000;"},
          {"AG0;", "AG0000;"},
          {"SM0;", "SM00000;"}},
         "MD1;NR1;PA1;NB1;"},
        // Four digits: a digit after the code picks the receiver to read.
        {"0570", {{"MD0;", "MD02;"}, {"NR0;", "NR00;"}, {"MD1;", "MD12;"}}, "MD03;NR01;"},
    };
    PseudoTerminal program;
    RadioSim radios[std::size(cases)];  // each lives on: a radio gone would be logged as lost
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        RadioSim& sim = radios[i];
        SCOPED_TRACE(c.id);
        ASSERT_TRUE(sim.Start({"--id", c.id, "--log"}));
        ASSERT_NO_FATAL_FAILURE(Configure(
            "{\"ports\": {\"CAT\": " + Entry(sim.Path()) +
            "}, \"ext_groups\": {\"1\": {\"cat\": " + Entry(program.SlavePath()) + "}}}"));
        ASSERT_TRUE(server.WaitOut("[relay] CAT relay started for group 1"));
        for (const auto& [read, answer] : c.reads) EXPECT_EQ(Ask(program, read), answer);
        EXPECT_EQ(Ask(program, c.sets + c.reads[0].first), c.reads[0].second);
        for (const std::string& line : sim.LogLines(300ms)) {
            EXPECT_EQ(c.sets.find(line.substr(3)), std::string::npos) << line;
        }
    }
    // Back to the fixture's radio before these go, or the server logs a lost port.
    ASSERT_NO_FATAL_FAILURE(Configure("{\"ports\": {" + CatEntry() + "}}"));
}

TEST_F(RelaySystemTest, QueriesGetQuestionMarkWhenTheRadioCannotAnswer) {
    PseudoTerminal program;
    const std::string groups =
        "\"ext_groups\": {\"1\": {\"cat\": " + Entry(program.SlavePath(), ", \"baud\": 9600") +
        "}}";

    // No CAT port yet: "?;" at once, and set commands vanish.
    ASSERT_NO_FATAL_FAILURE(Configure("{" + groups + "}"));
    ASSERT_TRUE(server.WaitOut("[relay] CAT relay started for group 1"));
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
    EXPECT_EQ(Ask(program, "FA;"), "?;");
    EXPECT_EQ(Ask(program, "FA00007000000;IF;"), "?;");
    test::TtyLineSettings settings;
    ASSERT_TRUE(program.ReadLineSettings(settings));
    EXPECT_EQ(settings.baud, 9600u);

    // With the radio on the CAT port the same group reads it.
    ASSERT_NO_FATAL_FAILURE(Configure("{\"ports\": {" + CatEntry() + "}, " + groups + "}"));
    ASSERT_TRUE(server.WaitOut("[relay] CAT relay started for group 1"));
    EXPECT_EQ(Ask(program, "FA;"), "FA00014074000;");

    // A radio that stays silent: the query is tried twice, then "?;".
    radio.LogLines(300ms);
    ASSERT_TRUE(radio.Control("silent on"));
    EXPECT_EQ(Ask(program, "FA;", 10s), "?;");
    EXPECT_TRUE(radio.WaitLog("rx FA;", 2s));
    EXPECT_TRUE(radio.WaitLog("rx FA;", 2s)) << "no second attempt";
    ASSERT_TRUE(radio.Control("silent off"));
    EXPECT_EQ(Ask(program, "FA;"), "FA00014074000;");
}

TEST_F(RelaySystemTest, HalfASecondOfSilenceEndsACommand) {
    PseudoTerminal program;
    ASSERT_NO_FATAL_FAILURE(
        Configure("{\"ports\": {" + CatEntry() +
                  "}, \"ext_groups\": {\"4\": {\"cat\": " + Entry(program.SlavePath()) + "}}}"));
    ASSERT_TRUE(server.WaitOut("[relay] CAT relay started for group 4"));

    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(program.Write("fa"));
    EXPECT_TRUE(program.WaitFor("FA00014074000;", 5s));
    // The relay waits for the silence before it takes "FA" as a command.
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 400ms);
    EXPECT_TRUE(radio.WaitLog("rx FA;", 2s));

    // The ";" that comes late is an empty command and is ignored.
    program.TakeReceived();
    ASSERT_TRUE(program.Write(";"));
    EXPECT_EQ(program.ReadFor(800ms), "");
    EXPECT_EQ(Ask(program, "id;"), "ID019;");
}

TEST_F(RelaySystemTest, TwoGroupsAtOnceAndSwitchingTheActiveApp) {
    PseudoTerminal nine;
    PseudoTerminal ten;
    // Keys are visited as text ("10" before "9"); groups start by number.
    ASSERT_NO_FATAL_FAILURE(Configure(
        "{\"ports\": {" + CatEntry() + "}, \"ext_groups\": {\"10\": {\"name\": \"Contest\", " +
        "\"cat\": " + Entry(ten.SlavePath()) +
        "}, \"9\": {\"name\": \"Digital\", \"cat\": " + Entry(nine.SlavePath()) + "}}}"));
    EXPECT_TRUE(server.WaitOut("[relay] CAT relay started for group 9 on " + nine.SlavePath()));
    EXPECT_TRUE(server.WaitOut("[relay] CAT relay started for group 10 on " + ten.SlavePath()));

    // Both programs poll the radio at the same time; every answer is whole.
    auto poll = [](PseudoTerminal& program, int& good) {
        for (int i = 0; i < 15; ++i) {
            if (Ask(program, i % 2 == 0 ? "FA;" : "IF;")
                    .rfind(i % 2 == 0 ? "FA00014074000;" : "IF00014074000", 0) == 0) {
                ++good;
            }
        }
    };
    int goodNine = 0;
    int goodTen = 0;
    std::thread other([&] { poll(ten, goodTen); });
    poll(nine, goodNine);
    other.join();
    EXPECT_EQ(goodNine, 15);
    EXPECT_EQ(goodTen, 15);

    ASSERT_NO_FATAL_FAILURE(Activate(9, "Digital"));
    EXPECT_EQ(Ask(ten, "FA00007000000;FA;"), "FA00014074000;");
    EXPECT_EQ(Ask(nine, "FA00007074000;FA;"), "FA00007074000;");
    EXPECT_EQ(Ask(ten, "FA;"), "FA00007074000;") << "every program sees the change";

    ASSERT_NO_FATAL_FAILURE(Activate(10, "Contest"));
    EXPECT_EQ(Ask(nine, "FA00014074000;FA;"), "FA00007074000;");
    EXPECT_EQ(Ask(ten, "FA00003573000;FA;"), "FA00003573000;");

    // A number without a group: nobody may change the radio.
    ASSERT_NO_FATAL_FAILURE(Activate(7, "Group 7"));
    EXPECT_EQ(Ask(nine, "FA00014074000;FA;"), "FA00003573000;");
    EXPECT_EQ(Ask(ten, "FA00014074000;FA;"), "FA00003573000;");
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
        EXPECT_TRUE(server.WaitOut("[relay] CAT relay started for group 1"));
        EXPECT_TRUE(server.WaitOut("[relay] PTT relay started for group 1"));
        EXPECT_TRUE(server.WaitOut("[relay] CW relay started for group 1"));
        EXPECT_TRUE(DeviceLocked(program.SlavePath()));
        EXPECT_TRUE(DeviceLocked(keying.SlavePath()));
        // The active app chosen before the CFG is still the active app.
        const std::string frequency = "0001407" + std::to_string(round) + "000";
        EXPECT_EQ(Ask(program, "FA" + frequency + ";FA;"), "FA" + frequency + ";");
    }
    EXPECT_FALSE(PrintedSince(0, "Failed to open"));

    // A CFG without "ext_groups" stops the relays and closes their ports; the
    // names stay.
    ASSERT_NO_FATAL_FAILURE(Configure("{}"));
    EXPECT_FALSE(DeviceLocked(program.SlavePath()));
    EXPECT_FALSE(DeviceLocked(keying.SlavePath()));
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Logger"));

    // An empty "ext_groups" says so and forgets the names.
    ASSERT_NO_FATAL_FAILURE(Configure("{\"ext_groups\": {}}"));
    EXPECT_TRUE(server.WaitOut("[relay] No external app ports configured"));
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
}

TEST_F(RelaySystemTest, LogLinesOfGroupsAndLocalPorts) {
    PseudoTerminal keying;
    PseudoTerminal winkey;
    const std::string missing = "/dev/brinmoor-missing-port";
    // The CW entry names the failed PTT port in other letters: it opens (and
    // fails) on its own. "winkey" is the app groups' key, not the server's.
    ASSERT_NO_FATAL_FAILURE(Configure(
        "{\"ports\": {" + CatEntry() + ", \"PTT\": " + Entry(missing) +
        ", \"CW\": " + Entry("/DEV/BRINMOOR-MISSING-PORT") + ", \"winkey\": " + Entry(missing) +
        ", \"WinKey\": " + Entry(missing + "-winkey") + ", \"FSK\": " + Entry(missing + "-fsk") +
        "}, \"ext_groups\": {\"1\": {\"name\": \"Keyer\", \"cat\": " + Entry(missing) +
        ", \"ptt\": " + Entry(keying.SlavePath()) + ", \"cw\": " + Entry(keying.SlavePath()) +
        ", \"winkey\": " + Entry(winkey.SlavePath()) + "}, \"2\": {\"name\": \"Only a name\"}, " +
        "\"3\": {\"cat\": {\"port\": \"NoNe\"}, \"fsk\": {\"port\": 5}}}}"));
    EXPECT_TRUE(server.WaitOut("[brinmoor] Failed to open PTT port " + missing));
    EXPECT_TRUE(server.WaitOut("[brinmoor] Failed to open CW port /DEV/BRINMOOR-MISSING-PORT"));
    EXPECT_TRUE(server.WaitOut("[brinmoor] Failed to open WinKey port " + missing + "-winkey"));
    EXPECT_TRUE(server.WaitOut("[brinmoor] Failed to open FSK port " + missing + "-fsk"));
    EXPECT_TRUE(server.WaitOut("[relay] Failed to open CAT port for group 1"));
    EXPECT_TRUE(server.WaitOut("[relay] PTT relay started for group 1"));
    EXPECT_TRUE(server.WaitOut("[relay] CW relay started for group 1"));
    // No WinKey relay without the server's own WinKey port, and no word of it.
    EXPECT_FALSE(PrintedSince(0, "WinKey relay"));
    EXPECT_FALSE(DeviceLocked(winkey.SlavePath()));
    ASSERT_NO_FATAL_FAILURE(Activate(2, "Only a name"));
    ASSERT_NO_FATAL_FAILURE(Activate(3, "Group 3"));

    // A member key without a number: the CFG is refused as bad JSON after
    // the relays were stopped, and none run afterwards.
    const std::size_t mark = Mark();
    ASSERT_NO_FATAL_FAILURE(Configure(
        "{\"ext_groups\": {\"1\": {\"ptt\": " + Entry(keying.SlavePath()) + "}, \"x\": {}}}"));
    EXPECT_TRUE(server.WaitOut("[config] Bad CFG JSON"));
    EXPECT_FALSE(PrintedSince(mark, "relay started"));
    EXPECT_FALSE(DeviceLocked(keying.SlavePath()));
    // The name read before the bad key stays.
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
    ASSERT_NO_FATAL_FAILURE(Activate(2, "Group 2"));
}

TEST_F(RelaySystemTest, LocalPortsOpenWithTheirSettingsAndCloseAgain) {
    PseudoTerminal keying;
    PseudoTerminal winkey;
    PseudoTerminal fsk;
    // PTT and CW on one port: one device, opened once.
    ASSERT_NO_FATAL_FAILURE(Configure(
        "{\"ports\": {" + CatEntry() + ", \"PTT\": " + Entry(keying.SlavePath()) +
        ", \"CW\": " + Entry(keying.SlavePath()) + ", \"WinKey\": " + Entry(winkey.SlavePath()) +
        ", \"FSK\": " + Entry(fsk.SlavePath()) + "}}"));
    EXPECT_FALSE(PrintedSince(0, "Failed to open"));
    EXPECT_TRUE(DeviceLocked(keying.SlavePath()));
    EXPECT_TRUE(DeviceLocked(winkey.SlavePath()));
    EXPECT_TRUE(DeviceLocked(fsk.SlavePath()));
    test::TtyLineSettings settings;
    ASSERT_TRUE(keying.ReadLineSettings(settings));
    EXPECT_EQ(settings.baud, 38400u);
    EXPECT_FALSE(settings.twoStopBits);
    ASSERT_TRUE(winkey.ReadLineSettings(settings));
    EXPECT_EQ(settings.baud, 1200u);
    EXPECT_EQ(settings.dataBits, 8);
    EXPECT_FALSE(settings.parity);
    EXPECT_TRUE(settings.twoStopBits);
    ASSERT_TRUE(fsk.ReadLineSettings(settings));
    EXPECT_EQ(settings.baud, 45u);
    // Keying from the control client on a line without modem lines is harmless.
    ASSERT_TRUE(client->Send("PT1;CK1;CK0;PT0;"));
    EXPECT_EQ(client->Ask("FA;"), "FA00014074000;");

    // Every CFG with "ports" reopens them; a baud rate given is taken.
    ASSERT_NO_FATAL_FAILURE(
        Configure("{\"ports\": {\"FSK\": " + Entry(fsk.SlavePath(), ", \"baud\": 50") + "}}"));
    ASSERT_TRUE(fsk.ReadLineSettings(settings));
    EXPECT_EQ(settings.baud, 50u);
    EXPECT_FALSE(DeviceLocked(keying.SlavePath()));
    EXPECT_FALSE(DeviceLocked(winkey.SlavePath()));
    EXPECT_TRUE(DeviceLocked(fsk.SlavePath()));

    // "ports" with only the CAT entry closes all four.
    ASSERT_NO_FATAL_FAILURE(Configure("{\"ports\": {" + CatEntry() + "}}"));
    EXPECT_FALSE(DeviceLocked(fsk.SlavePath()));
    EXPECT_EQ(client->Ask("FA;"), "FA00014074000;") << "the CAT port stays open";
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
    EXPECT_TRUE(server.WaitOut("[relay] WinKey relay started for group 1"));
    EXPECT_TRUE(server.WaitOut("[relay] FSK relay started for group 1"));
    EXPECT_TRUE(server.WaitOut("[relay] WinKey relay started for group 2"));
    EXPECT_TRUE(server.WaitOut("[relay] FSK relay started for group 2"));

    // Nobody active: a program's WinKey bytes are dropped, the keyer's too.
    ASSERT_TRUE(winkeyOne.Write("early"));
    ASSERT_TRUE(keyer.Write("lost"));
    EXPECT_EQ(keyer.ReadFor(600ms), "");

    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
    EXPECT_EQ(keyer.ReadFor(400ms), "") << "dropped bytes are not delivered later";
    EXPECT_EQ(winkeyOne.ReadFor(300ms), "");
    const std::string open("\x00\x02", 2);
    ASSERT_TRUE(winkeyOne.Write(open));
    EXPECT_TRUE(keyer.WaitFor(open, 3s));
    // Every byte of the keyer reaches the active program, although two
    // WinKey groups are configured.
    const std::string echo =
        "\xc0"
        "0123456789abcdefghijklmnopqrstuvwxyz";
    ASSERT_TRUE(keyer.Write(echo));
    EXPECT_TRUE(winkeyOne.WaitFor(echo, 5s)) << winkeyOne.TakeReceived();
    EXPECT_EQ(winkeyTwo.ReadFor(300ms), "");

    // Bytes of the program that is not active are dropped, not held back.
    keyer.TakeReceived();
    ASSERT_TRUE(winkeyTwo.Write("held"));
    EXPECT_EQ(keyer.ReadFor(500ms), "");
    ASSERT_NO_FATAL_FAILURE(Activate(2, "Group 2"));
    ASSERT_TRUE(winkeyTwo.Write("now"));
    EXPECT_TRUE(keyer.WaitFor("now", 3s));
    EXPECT_EQ(keyer.TakeReceived(), "now");
    ASSERT_TRUE(keyer.Write("back"));
    EXPECT_TRUE(winkeyTwo.WaitFor("back", 3s));
    EXPECT_EQ(winkeyOne.ReadFor(300ms), "");

    // FSK data of the active program goes to the server's FSK port; data of
    // an inactive one waits in its port and follows once it is active.
    ASSERT_TRUE(fskTwo.Write("RYRY"));
    EXPECT_TRUE(fskLine.WaitFor("RYRY", 3s));
    fskLine.TakeReceived();
    ASSERT_TRUE(fskOne.Write("CQ CQ"));
    EXPECT_EQ(fskLine.ReadFor(500ms), "");
    ASSERT_NO_FATAL_FAILURE(Activate(1, "Group 1"));
    EXPECT_TRUE(fskLine.WaitFor("CQ CQ", 3s));
}

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
    // A program waiting on a radio that has gone silent.
    ASSERT_TRUE(radio.Control("silent on"));
    ASSERT_TRUE(program.Write("FA;"));
    std::this_thread::sleep_for(100ms);

    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(client->Ask("QUIT;"), "QUIT_OK;");
    EXPECT_EQ(server.Wait(10s), 0);
    // About 2.5 s at most (the listener's wake-up, the transaction in
    // flight, the relays' own pauses); the margin is for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 8s);
    EXPECT_TRUE(server.WaitOut("[brinmoor] Shutting down."));
    for (const PseudoTerminal* pty : {&program, &keying, &keyer, &winkey}) {
        EXPECT_FALSE(DeviceLocked(pty->SlavePath()));
    }
    client.reset();
}

}  // namespace
}  // namespace brinmoor
