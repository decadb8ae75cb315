// The session's dispatch and the control commands, in process, over the
// simulated serial device: what each frame answers, what it logs and what it
// does to the radio's port, the saved file and the server's own lines.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/saved_config.h"
#include "ctl_protocol.h"
#include "platform/files.h"
#include "server/control_commands.h"
#include "server_test_support.h"

namespace brinmoor {
namespace {

using servertest::ScratchFolder;
using sim::WaitUntil;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kCom3Opened = "[brinmoor] CAT port COM3 opened. Radio ID: ID019\n";
const std::string kNoSavedConfig =
    "[brinmoor] No saved config \xE2\x80\x94 waiting for port configuration from Varnholt.\n";

std::string Cfg(const std::string& port, const std::string& more = "") {
    return "CFG{\"ports\": {\"CAT\": {\"port\": \"" + port + "\"" + more + "}}}";
}

std::string Saved(const std::string& port, int baud, const char* parity, const char* stop) {
    return SavedConfigText(port, baud, "8", parity, stop, TextLineBreak());
}

using ServerCommandsTest = servertest::ServerFixture;

TEST_F(ServerCommandsTest, DispatchFollowsExactTextAndLength) {
    EXPECT_FALSE(state.quit.load() || !HandleFrame(state, 4532, "QUIT").quit)
        << "the session sets quit once QUIT_OK is sent";

    EXPECT_EQ(Send("PORTS"), "PORTS{\"tcp_port\":4532};");
    EXPECT_EQ(Send("PW"), "PW000;");
    // With no CAT port a query is answered ERR, a set command not at all.
    EXPECT_EQ(Send("FA"), "ERRFA;");
    EXPECT_EQ(Send("FA00014074000"), "");

    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    // Frames that miss their command's length go to the radio; AG takes every
    // frame that begins with it, the query AG0 included. brinmoorctl, which
    // refuses to send the server's own frames as CAT commands, agrees.
    for (const std::string frame : {"CFG", "PT", "CK", "PW1", "PWX", "PORTS1", "QUIT1", "quit",
                                    "PORTS", "PW", "AG", "AG0", "AG1", "PT1", "CK0", "CKx",
                                    "STATUS", "STATUS1"}) {
        sim::TakeWritten("COM3");
        Send(frame);
        const bool toRadio = sim::Written("COM3").find(frame + ";") != std::string::npos;
        EXPECT_EQ(toRadio, ControlCommandOf(frame).empty()) << frame;
    }
}

TEST_F(ServerCommandsTest, CatPassThroughAndThePowerReply) {
    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    EXPECT_EQ(Send("FA00007074000"), "");
    EXPECT_EQ(Send("FA"), "FA00007074000;");
    EXPECT_EQ(Send("BY"), "ERRBY;") << "a query the radio refuses";
    // Before any "PC" reply the monitor reports 0, then the setting.
    EXPECT_EQ(Send("PW"), "PW0000;");
    EXPECT_EQ(Send("PC"), "PC100;");
    EXPECT_TRUE(WaitUntil([&] { return Send("PW") == "PW0100;"; }, 8s));
}

TEST_F(ServerCommandsTest, CfgOpensTheCatPortPublishesAndSaves) {
    // Unfinished, as the reader allows.
    EXPECT_EQ(Send("CFG {\"ports\": {\"CAT\": {\"port\": \"COM3\", \"baud\": 9600, "
                   "\"parity\": \"space\", \"stopbits\": 1.5"),
              "CFG_OK;");
    EXPECT_TRUE(log.WaitFor(LogStream::Out, kCom3Opened));
    EXPECT_EQ(Send("PORTS"),
              "PORTS{\"tcp_port\":4532,\"com\":\"COM3\",\"baud\":9600,\"bits\":\"8\","
              "\"parity\":\"space\",\"stopbits\":\"1.5\"};");
    EXPECT_EQ(ScratchFolder::Read(state.configPath), Saved("COM3", 9600, "space", "1.5"));
    EXPECT_EQ(servertest::SettingsOf("COM3"), "9600 8 S 1.5");
    EXPECT_TRUE(log.Err().empty());

    // The same settings keep the port but refresh the rest; the monitor is made once.
    const auto monitor = state.powerMonitor.Snapshot();
    ASSERT_TRUE(monitor);
    std::filesystem::remove(state.configPath);
    sim::TakeWritten("COM3");
    ASSERT_EQ(Send(Cfg("COM3", ", \"baud\": 9600, \"parity\": \"s\", \"stopbits\": \"1.5\"")),
              "CFG_OK;");
    EXPECT_EQ(sim::OpenCount("COM3"), 1);
    EXPECT_NE(sim::Written("COM3").find("ID;"), std::string::npos);
    EXPECT_EQ(ScratchFolder::Read(state.configPath), Saved("COM3", 9600, "space", "1.5"));
    EXPECT_EQ(state.powerMonitor.Snapshot(), monitor);
    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    EXPECT_EQ(sim::OpenCount("COM3"), 2) << "other settings reopen it";

    // A port that will not open gives the working one back, status and file unchanged.
    const std::string status = Send("PORTS");
    log.Clear();
    EXPECT_EQ(Send(Cfg("COM9")), "CFG_OK;");
    EXPECT_EQ(log.Err(), Lines{"[brinmoor] Failed to open CAT port COM9\n"});
    EXPECT_EQ(Send("PORTS"), status);
    EXPECT_EQ(ScratchFolder::Read(state.configPath), Saved("COM3", 38400, "none", "1"));
    EXPECT_EQ(Send("FA"), "FA00014074000;");
}

TEST_F(ServerCommandsTest, CfgThatNamesNoCatPortOrCannotBeReadChangesNothing) {
    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    const std::string status = Send("PORTS");
    const std::string noGroups = "[relay] No external app ports configured\n";
    const struct {
        std::string frame;
        Lines out;
    } cases[] = {
        {Cfg("NONE"), {}},
        {"CFG{\"ports\": {\"CAT\": {\"port\": 5}}}", {}},
        {"CFG hello", {}},
        // An empty "ext_groups" says that no app group has a port.
        {"CFG{\"ext_groups\": {}}", {noGroups}},
        {"CFG{ports: {\"CAT\": {\"port\": \"COM4\"}}}", {"[config] Bad CFG JSON\n"}},
    };
    for (const auto& c : cases) {
        log.Clear();
        EXPECT_EQ(Send(c.frame), "CFG_OK;");
        EXPECT_EQ(log.Out(), c.out) << c.frame;
    }
    EXPECT_EQ(sim::OpenCount("COM3"), 1);
    EXPECT_EQ(Send("PORTS"), status);
    EXPECT_TRUE(log.Err().empty());

    // After QUIT a CFG opens nothing again: shutdown is closing the ports.
    state.quit.store(true);
    sim::CreateDevice("COM4");
    EXPECT_EQ(Send(Cfg("COM4")), "CFG_OK;");
    EXPECT_FALSE(sim::IsHeld("COM4"));
}

TEST_F(ServerCommandsTest, RefusedPortEntriesLeaveEveryPortAsItWas) {
    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    InstallKeyingLines("COM4");
    const std::string saved = ScratchFolder::Read(state.configPath);
    const struct {
        std::string frame;
        std::string line;
    } cases[] = {
        {Cfg("COM5\x1b"),
         "CAT port COM5\\u001b refused: a port name cannot hold control characters"},
        {Cfg("COM5", ", \"baud\": 0"),
         "CAT port COM5 refused: baud 0 is out of range (1 to 4000000)"},
        {Cfg("COM5", ", \"stopbits\": 3"), "CAT port COM5 refused: stopbits 3 is not 1, 1.5 or 2"},
        {Cfg("COM5", ", \"parity\": \"ev\""),
         "CAT port COM5 refused: parity \"ev\" is not none, even, odd, mark or space"},
        {"CFG{\"ports\": {\"PTT\": {\"port\": \"COM5\", \"baud\": -5}}}",
         "PTT port COM5 refused: baud -5 is out of range (1 to 4000000)"},
        {"CFG{\"ext_groups\": {\"1\": {\"cat\": {\"port\": \"COM5\", \"bytesize\": 9}}}}",
         "group 1 cat port COM5 refused: bytesize 9 is out of range (5 to 8)"},
    };
    for (const auto& c : cases) {
        log.Clear();
        EXPECT_EQ(Send(c.frame), "CFG_OK;");
        EXPECT_EQ(log.Err(), (Lines{"[config] " + c.line + "\n",
                                    "[config] CFG refused: no port was closed or opened\n"}));
    }
    EXPECT_EQ(sim::OpenCount("COM3"), 1);
    EXPECT_EQ(ScratchFolder::Read(state.configPath), saved);
    EXPECT_TRUE(state.pttLine.Snapshot() && sim::IsHeld("COM4"));
}

TEST_F(ServerCommandsTest, AgSelectsAndLogsTheGroupByTheNameTheCfgGave) {
    ASSERT_EQ(Send(R"(CFG{"ext_groups": {"-1": {"name": "Nobody"}, "2": {"name": "Logger"},)"
                   R"( "3x": {}, "4": {"name": ""}}})"),
              "CFG_OK;");
    const struct {
        const char* frame;
        int group;
        const char* name;
    } cases[] = {{"AG2", 2, "Logger"},           {"AG7", 7, "Group 7"}, {"AG", -1, "Nobody"},
                 {"AG 3x", 3, "Group 3x"},       {"AGx", -1, "Nobody"}, {"AG4", 4, ""},
                 {"AG99999999999", -1, "Nobody"}};
    for (const auto& c : cases) {
        log.Clear();
        EXPECT_EQ(Send(c.frame), "AG_OK;");
        EXPECT_EQ(state.activeGroup.Load(), c.group) << c.frame;
        EXPECT_EQ(log.Out(), Lines{"[relay] Active app set to '" + std::string(c.name) +
                                   "' (group " + std::to_string(c.group) + ")\n"});
    }

    // A group key that is no number: the relays stop and the names are forgotten.
    sim::CreateDevice("COM5");
    Send(R"(CFG{"ext_groups": {"2": {"name": "Logger", "cat": {"port": "COM5"}}}})");
    ASSERT_TRUE(log.WaitFor(LogStream::Out, "[relay] CAT relay started for group 2 on COM5\n"));
    Send(R"(CFG{"ext_groups": {"2": {}, "x": {}}})");
    EXPECT_FALSE(state.relays.Snapshot() || sim::IsHeld("COM5"));
    log.Clear();
    Send("AG2");
    Send("AG");
    EXPECT_EQ(log.Out(), (Lines{"[relay] Active app set to 'Group 2' (group 2)\n",
                                "[relay] Active app set to 'Default' (group -1)\n"}));
}

TEST_F(ServerCommandsTest, ConcurrentCommandsAreSafe) {
    // PT while the line is replaced under it: the keyer's snapshot keeps a
    // closed line alive, never a freed one.
    sim::CreateDevice("COM4");
    std::atomic<bool> stop{false};
    std::thread keyer([&] {
        for (bool on = false; !stop.load(); on = !on) Send(on ? "PT1" : "PT0");
    });
    for (int i = 0; i < 50; ++i) {
        auto line = std::make_shared<KeyingLine>();
        EXPECT_TRUE(line->OpenOwn("COM4", 38400, 8, 'N', 1.0f, "DTR"));
        state.pttLine.Replace(std::move(line));
        CloseLocalPorts(state);
    }
    stop.store(true);
    keyer.join();
    EXPECT_FALSE(sim::IsHeld("COM4"));

    // Two clients configure at once while another queries the radio and reads
    // the power: every answer is whole and the monitor is made once.
    std::vector<std::thread> configurers;
    for (int c = 0; c < 2; ++c) {
        configurers.emplace_back([&, c] {
            for (int i = 0; i < 5; ++i) Send(Cfg("COM3", (i + c) % 2 ? ", \"baud\": 9600" : ""));
        });
    }
    for (int i = 0; i < 60; ++i) {
        const std::string fa = Send("FA");
        Send("PORTS");
        EXPECT_TRUE(fa == "FA00014074000;" || fa == "ERRFA;") << fa;
        EXPECT_EQ(Send("PW").rfind("PW0", 0), 0u);
    }
    for (auto& thread : configurers) thread.join();
    const auto monitor = state.powerMonitor.Snapshot();
    ASSERT_TRUE(monitor);
    EXPECT_EQ(monitor.use_count(), 2) << "one monitor, held by the state and this test";
    EXPECT_EQ(Send("FA"), "FA00014074000;");
}

TEST_F(ServerCommandsTest, SavedPortIsReopenedAtStartAndRewritten) {
    const std::string unreadable =
        "[brinmoor] Could not parse saved config \xE2\x80\x94 waiting for port configuration "
        "from Varnholt.\n";
    LoadSavedCatConfig(state);  // no file at all
    EXPECT_EQ(log.Out(), Lines{kNoSavedConfig});
    for (const std::string text : {" \r\n\t ", "{\"cat\": {\"port\": \"\"}}", "{\"cat\": \"COM3\"}",
                                   "nonsense", "{cat: 1}"}) {
        log.Clear();
        ScratchFolder::Write(state.configPath, text);
        LoadSavedCatConfig(state);
        EXPECT_EQ(log.Out(), Lines{text == "{cat: 1}" ? unreadable : kNoSavedConfig}) << text;
    }
    EXPECT_FALSE(sim::IsHeld("COM3"));

    log.Clear();
    ScratchFolder::Write(state.configPath,
                         "{\"cat\": {\"port\": \"COM3\", \"baud\": \"9600\", \"parity\": \"E\", "
                         "\"stopbits\": 2}}");
    LoadSavedCatConfig(state);
    EXPECT_EQ(log.Out()[0], "[brinmoor] Loading saved port config: COM3\n");
    EXPECT_TRUE(log.WaitFor(LogStream::Out, kCom3Opened));
    EXPECT_EQ(servertest::SettingsOf("COM3"), "38400 8 E 2") << "a quoted baud rate is not read";
    EXPECT_EQ(ScratchFolder::Read(state.configPath), Saved("COM3", 38400, "even", "2"));

    // A saved port that is gone is reported and start-up goes on.
    log.Clear();
    ScratchFolder::Write(state.configPath, "{\"cat\": {\"port\": \"COM8\"}}");
    LoadSavedCatConfig(state);
    EXPECT_EQ(log.Out(), Lines{"[brinmoor] Loading saved port config: COM8\n"});
    EXPECT_EQ(log.Err(), Lines{"[brinmoor] Failed to open CAT port COM8\n"});
    EXPECT_EQ(ScratchFolder::Read(state.configPath), "{\"cat\": {\"port\": \"COM8\"}}");
}

}  // namespace
}  // namespace brinmoor
