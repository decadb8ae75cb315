// The session's dispatch and the control commands, in process, over the
// simulated serial device: what each frame answers, what it logs and what it
// does to the radio's port and the server's own lines.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/status_reply.h"
#include "platform/files.h"
#include "server/cat_config.h"
#include "server/client_session.h"
#include "server/control_commands.h"
#include "server/server.h"
#include "server_test_support.h"
#include "support/sim_serial_device.h"

namespace brinmoor {
namespace {

using servertest::LogCapture;
using servertest::ScratchFolder;
using namespace std::chrono_literals;

const std::string kNoSavedConfig =
    "[brinmoor] No saved config \xE2\x80\x94 waiting for port configuration from Varnholt.\n";
const std::string kNoIdWarning =
    "[brinmoor] WARNING: No ID response \xE2\x80\x94 check COM port and radio power\n";

std::string Cfg(const std::string& port, const std::string& more = "") {
    return "CFG{\"ports\": {\"CAT\": {\"port\": \"" + port + "\"" + more + "}}}";
}

std::string SavedText(const std::string& port, int baud, const std::string& bits,
                      const std::string& parity, const std::string& stop) {
    const std::string br(TextLineBreak());
    return "{" + br + "  \"cat\": {" + br + "    \"port\": \"" + port + "\"," + br +
           "    \"baud\": " + std::to_string(baud) + "," + br + "    \"bytesize\": \"" + bits +
           "\"," + br + "    \"parity\": \"" + parity + "\"," + br + "    \"stopbits\": \"" + stop +
           "\"" + br + "  }" + br + "}" + br;
}

class ServerCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        sim::CreateDevice("COM3");
        sim::SetResponder("COM3", sim::KenwoodResponder({{"ID", "ID019"},
                                                         {"FA", "FA00014074000"},
                                                         {"TX", "TX0"},
                                                         {"PC", "PC100"},
                                                         {"RM5", "RM5000"}}));
        state.configPath = folder.File("brinmoor.json");
        state.statusReply = BuildStatusJson(4532, "", 0, "", "", "");
    }

    std::string Send(const std::string& frame) { return HandleFrame(state, 4532, frame).reply; }

    // Waits until the frame's reply is the wanted one.
    bool EventuallyAnswers(const std::string& frame, const std::string& wanted) {
        const auto deadline = std::chrono::steady_clock::now() + 8s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Send(frame) == wanted) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    ScratchFolder folder;
    LogCapture log;
    ServerState state;
};

TEST_F(ServerCommandsTest, DispatchFollowsExactTextAndLength) {
    const FrameResult quit = HandleFrame(state, 4532, "QUIT");
    EXPECT_EQ(quit.reply, "QUIT_OK;");
    EXPECT_TRUE(quit.quit);
    EXPECT_FALSE(state.quit.load()) << "the session sets quit once QUIT_OK is sent";

    EXPECT_EQ(Send("PORTS"), "PORTS{\"tcp_port\":4532};");
    // With no CAT port a query is answered ERR, a set command not at all.
    EXPECT_EQ(Send("FA"), "ERRFA;");
    EXPECT_EQ(Send("FA00014074000"), "");
    EXPECT_EQ(Send("quit"), "");
    EXPECT_FALSE(HandleFrame(state, 4532, "quit").quit);
    EXPECT_EQ(Send("PW"), "PW000;");

    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    sim::TakeWritten("COM3");
    // Frames that miss their command's length go to the radio.
    for (const char* frame : {"CFG", "PT", "CK", "PW1", "PORTS1", "QUIT1", "quit"}) {
        Send(frame);
        EXPECT_TRUE(sim::WaitForWritten("COM3", std::string(frame) + ";", 1s)) << frame;
        sim::TakeWritten("COM3");
    }
    // AG takes every frame that begins with it, the query AG0 included.
    EXPECT_EQ(Send("AG0"), "AG_OK;");
    EXPECT_EQ(Send("PT1"), "");
    EXPECT_EQ(Send("CK0"), "");
    std::this_thread::sleep_for(100ms);
    const std::string written = sim::Written("COM3");
    EXPECT_EQ(written.find("AG0"), std::string::npos);
    EXPECT_EQ(written.find("PT1"), std::string::npos);
    EXPECT_EQ(written.find("CK0"), std::string::npos);
}

TEST_F(ServerCommandsTest, CatPassThroughAnswersQueriesAndFeedsThePowerSetting) {
    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    EXPECT_EQ(Send("FA"), "FA00014074000;");
    EXPECT_EQ(Send("FA00007074000"), "");
    EXPECT_EQ(Send("FA"), "FA00007074000;");
    // A query the radio refuses comes back as ERR.
    EXPECT_EQ(Send("BY"), "ERRBY;");

    // Before any "PC" reply the monitor reports 0, then the setting.
    EXPECT_EQ(Send("PW"), "PW0000;");
    EXPECT_EQ(Send("PC"), "PC100;");
    EXPECT_TRUE(EventuallyAnswers("PW", "PW0100;"));
}

TEST_F(ServerCommandsTest, PowerWhileTransmittingIsTheMeterAverage) {
    // A four-digit radio: "TX" reads the state, "RM5" the meter.
    sim::SetResponder("COM3",
                      sim::KenwoodResponder({{"ID", "ID0570"}, {"TX", "TX2"}, {"RM5", "RM5200"}}));
    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    EXPECT_TRUE(EventuallyAnswers("PW", "PW2088;"));
}

TEST(PowerReplyTest, Formats) {
    EXPECT_EQ(FormatPowerReply(true, 45), "PW2045;");
    EXPECT_EQ(FormatPowerReply(false, 100), "PW0100;");
    EXPECT_EQ(FormatPowerReply(false, 0), "PW0000;");
    EXPECT_EQ(FormatPowerReply(true, 88), "PW2088;");
    EXPECT_EQ(FormatPowerReply(true, 2929), "PW22929;");
}

TEST_F(ServerCommandsTest, CfgOpensTheCatPortPublishesAndSaves) {
    EXPECT_EQ(Send(Cfg("COM3", ", \"baud\": 9600, \"parity\": \"space\", \"stopbits\": 1.5")),
              "CFG_OK;");
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[brinmoor] CAT port COM3 opened. Radio ID: ID019\n"));
    EXPECT_EQ(Send("PORTS"),
              "PORTS{\"tcp_port\":4532,\"com\":\"COM3\",\"baud\":9600,\"bits\":\"8\","
              "\"parity\":\"space\",\"stopbits\":\"1.5\"};");
    EXPECT_EQ(ScratchFolder::Read(state.configPath), SavedText("COM3", 9600, "8", "space", "1.5"));
    ASSERT_TRUE(sim::LastSettings("COM3"));
    EXPECT_EQ(sim::LastSettings("COM3")->baud, 9600u);
    EXPECT_TRUE(state.powerMonitor.Snapshot());
    EXPECT_TRUE(log.Err().empty());
}

TEST_F(ServerCommandsTest, CfgWithTheSameSettingsKeepsThePortButRefreshesAll) {
    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    const auto monitor = state.powerMonitor.Snapshot();
    std::filesystem::remove(state.configPath);
    sim::TakeWritten("COM3");
    log.Clear();

    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    EXPECT_EQ(sim::OpenCount("COM3"), 1);
    EXPECT_NE(sim::Written("COM3").find("ID;"), std::string::npos);
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[brinmoor] CAT port COM3 opened. Radio ID: ID019\n"));
    EXPECT_EQ(ScratchFolder::Read(state.configPath), SavedText("COM3", 38400, "8", "none", "1"));
    EXPECT_EQ(state.powerMonitor.Snapshot(), monitor) << "the monitor is made once";

    // Another baud rate reopens it.
    ASSERT_EQ(Send(Cfg("COM3", ", \"baud\": 4800")), "CFG_OK;");
    EXPECT_EQ(sim::OpenCount("COM3"), 2);
}

TEST_F(ServerCommandsTest, CfgWithNoPortLeavesTheCatPortAlone) {
    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    const std::string status = Send("PORTS");
    log.Clear();
    for (const char* none : {"NONE", "none", "NoNe", ""}) {
        EXPECT_EQ(Send(Cfg(none)), "CFG_OK;");
    }
    EXPECT_EQ(Send("CFG{\"ports\": {}}"), "CFG_OK;");
    EXPECT_EQ(Send("CFG{\"ports\": {\"CAT\": {\"port\": 5}}}"), "CFG_OK;");
    // Documents without "ports", bare words and numbers change nothing either.
    for (const char* other : {"CFG{}", "CFG hello", "CFG 42", "CFG{\"ext_groups\": {}}"}) {
        EXPECT_EQ(Send(other), "CFG_OK;") << other;
    }
    EXPECT_EQ(sim::OpenCount("COM3"), 1);
    EXPECT_TRUE(sim::IsHeld("COM3"));
    EXPECT_EQ(Send("PORTS"), status);
    // The empty "ext_groups" says that no app group has a port.
    EXPECT_EQ(log.Out(), std::vector<std::string>{"[relay] No external app ports configured\n"});
    EXPECT_TRUE(log.Err().empty());
}

TEST_F(ServerCommandsTest, BadCfgIsReportedAndChangesNothing) {
    EXPECT_EQ(Send("CFG{ports: {\"CAT\": {\"port\": \"COM3\"}}}"), "CFG_OK;");
    EXPECT_EQ(log.Out(), std::vector<std::string>{"[config] Bad CFG JSON\n"});
    EXPECT_FALSE(sim::IsHeld("COM3"));
    EXPECT_EQ(Send("PORTS"), "PORTS{\"tcp_port\":4532};");
    EXPECT_FALSE(std::filesystem::exists(state.configPath));
}

TEST_F(ServerCommandsTest, CfgThatBreaksOffIsTakenAsFarAsItGoes) {
    EXPECT_EQ(Send("CFG {\"ports\": {\"CAT\": {\"port\": \"COM3\", \"baud\": 19200"), "CFG_OK;");
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[brinmoor] CAT port COM3 opened. Radio ID: ID019\n"));
    EXPECT_EQ(sim::LastSettings("COM3")->baud, 19200u);
}

TEST_F(ServerCommandsTest, CatPortThatWillNotOpenKeepsTheOldStatus) {
    ASSERT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    const std::string status = Send("PORTS");
    log.Clear();
    EXPECT_EQ(Send(Cfg("COM9")), "CFG_OK;");
    EXPECT_EQ(log.Err(), std::vector<std::string>{"[brinmoor] Failed to open CAT port COM9\n"});
    EXPECT_EQ(Send("PORTS"), status);
    EXPECT_EQ(ScratchFolder::Read(state.configPath), SavedText("COM3", 38400, "8", "none", "1"));
    EXPECT_EQ(Send("FA"), "FA00014074000;") << "the working port is back";
}

TEST_F(ServerCommandsTest, SilentRadioGetsTheWarning) {
    sim::SetResponder("COM3", nullptr);
    EXPECT_TRUE(ApplyCatConfig(state, ParseJsonDocument("{\"port\": \"COM3\"}"), 4532));
    EXPECT_EQ(log.Out(), std::vector<std::string>{kNoIdWarning});
    EXPECT_EQ(ScratchFolder::Read(state.configPath), SavedText("COM3", 38400, "8", "none", "1"));
}

TEST_F(ServerCommandsTest, ApplyCatConfigWithoutPortSaysSo) {
    EXPECT_FALSE(ApplyCatConfig(state, ParseJsonDocument("{\"baud\": 9600}"), 4532));
    EXPECT_EQ(log.Err(),
              std::vector<std::string>{"[brinmoor] ApplyCatConfig: no port specified.\n"});
    EXPECT_FALSE(state.powerMonitor.Snapshot());
}

TEST_F(ServerCommandsTest, CfgAfterQuitOpensNothing) {
    state.quit.store(true);
    EXPECT_EQ(Send(Cfg("COM3")), "CFG_OK;");
    EXPECT_FALSE(sim::IsHeld("COM3"));
}

TEST_F(ServerCommandsTest, AgSelectsAndLogsTheGroup) {
    {
        std::lock_guard<std::mutex> guard(state.groupsMutex);
        state.groupNames[2] = "Logger";
    }
    struct Case {
        const char* frame;
        int group;
        const char* name;
    };
    for (const Case& c :
         {Case{"AG2", 2, "Logger"}, Case{"AG7", 7, "Group 7"}, Case{"AG", -1, "Default"},
          Case{"AG 3x", 3, "Group 3"}, Case{"AGx", -1, "Default"},
          Case{"AG99999999999", -1, "Default"}, Case{"AG-1", -1, "Default"}}) {
        log.Clear();
        EXPECT_EQ(Send(c.frame), "AG_OK;");
        EXPECT_EQ(state.activeGroup.Load(), c.group) << c.frame;
        EXPECT_EQ(log.Out(),
                  std::vector<std::string>{"[relay] Active app set to '" + std::string(c.name) +
                                           "' (group " + std::to_string(c.group) + ")\n"});
    }
}

TEST_F(ServerCommandsTest, PtAndCkDriveTheLocalLines) {
    // Without lines nothing happens and nothing is answered.
    EXPECT_EQ(Send("PT1"), "");
    EXPECT_EQ(Send("CK1"), "");

    servertest::InstallKeyingLines(state, "COM4");

    Send("PT1");
    EXPECT_TRUE(sim::Dtr("COM4"));
    Send("PT0");
    EXPECT_FALSE(sim::Dtr("COM4"));
    Send("PTx");
    EXPECT_TRUE(sim::Dtr("COM4"));
    Send("PT01");  // only the third character counts
    EXPECT_FALSE(sim::Dtr("COM4"));
    Send("CK1");
    EXPECT_TRUE(sim::Rts("COM4"));
    Send("CK0");
    EXPECT_FALSE(sim::Rts("COM4"));

    Send("PT1");
    Send("CK1");
    CloseLocalPorts(state);
    EXPECT_FALSE(state.pttLine.Snapshot());
    EXPECT_FALSE(state.cwLine.Snapshot());
    EXPECT_FALSE(sim::IsHeld("COM4"));
    EXPECT_FALSE(sim::Dtr("COM4")) << "a key held down is released";
    EXPECT_FALSE(sim::Rts("COM4"));
    EXPECT_EQ(Send("PT1"), "");
}

TEST_F(ServerCommandsTest, PtWhileACfgSwapsTheLineIsSafe) {
    // A reader keeps its snapshot alive while the writer replaces the line.
    sim::CreateDevice("COM4");
    std::atomic<bool> stop{false};
    std::thread keyer([&] {
        bool on = false;
        while (!stop.load()) {
            Send(on ? "PT1" : "PT0");
            on = !on;
        }
    });
    for (int i = 0; i < 50; ++i) {
        auto line = std::make_shared<KeyingLine>();
        ASSERT_TRUE(line->OpenOwn("COM4", 38400, 8, 'N', 1.0f, "DTR"));
        state.pttLine.Replace(std::move(line));
        CloseLocalPorts(state);
    }
    stop.store(true);
    keyer.join();
    EXPECT_FALSE(sim::IsHeld("COM4"));
}

TEST_F(ServerCommandsTest, ConcurrentCfgsQueriesAndPowerReads) {
    // Two clients configure at once while others query the radio and read
    // the power: every answer is whole and the monitor is made only once.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; ++c) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < 5; ++i) {
                const std::string baud = (i + c) % 2 ? "9600" : "38400";
                if (Send(Cfg("COM3", ", \"baud\": " + baud)) != "CFG_OK;") wrong.fetch_add(1);
            }
        });
    }
    for (int c = 0; c < 2; ++c) {
        threads.emplace_back([&] {
            for (int i = 0; i < 30; ++i) {
                const std::string fa = Send("FA");
                if (fa != "FA00014074000;" && fa != "ERRFA;") wrong.fetch_add(1);
                if (Send("PW").rfind("PW0", 0) != 0) wrong.fetch_add(1);
                Send("PORTS");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    const auto monitor = state.powerMonitor.Snapshot();
    ASSERT_TRUE(monitor);
    EXPECT_EQ(monitor.use_count(), 2) << "one monitor, held by the state and this test";
    EXPECT_EQ(Send("FA"), "FA00014074000;");
}

class SavedConfigStartTest : public ServerCommandsTest {};

TEST_F(SavedConfigStartTest, SavedPortIsReopenedAndRewritten) {
    ScratchFolder::Write(state.configPath,
                         "{\"cat\": {\"port\": \"COM3\", \"baud\": \"9600\", \"parity\": \"E\", "
                         "\"stopbits\": 2}}");
    LoadSavedCatConfig(state);
    EXPECT_EQ(log.Out()[0], "[brinmoor] Loading saved port config: COM3\n");
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[brinmoor] CAT port COM3 opened. Radio ID: ID019\n"));
    // A quoted baud rate is not read.
    EXPECT_EQ(sim::LastSettings("COM3")->baud, 38400u);
    EXPECT_EQ(ScratchFolder::Read(state.configPath), SavedText("COM3", 38400, "8", "even", "2"));
}

TEST_F(SavedConfigStartTest, UnusableSavedFilesWaitForVarnholt) {
    const std::string couldNotParse =
        "[brinmoor] Could not parse saved config \xE2\x80\x94 waiting for port configuration "
        "from Varnholt.\n";
    struct Case {
        const char* text;
        std::string line;
    };
    LoadSavedCatConfig(state);  // no file at all
    EXPECT_EQ(log.Out(), std::vector<std::string>{kNoSavedConfig});
    for (const Case& c : {Case{"", kNoSavedConfig}, Case{" \r\n\t ", kNoSavedConfig},
                          Case{"{}", kNoSavedConfig}, Case{"{\"cat\": {}}", kNoSavedConfig},
                          Case{"{\"cat\": {\"port\": \"\"}}", kNoSavedConfig},
                          Case{"{\"cat\": {\"port\": 3}}", kNoSavedConfig},
                          Case{"{\"cat\": \"COM3\"}", kNoSavedConfig},
                          Case{"nonsense", kNoSavedConfig}, Case{"{cat: 1}", couldNotParse}}) {
        log.Clear();
        ScratchFolder::Write(state.configPath, c.text);
        LoadSavedCatConfig(state);
        EXPECT_EQ(log.Out(), std::vector<std::string>{c.line}) << c.text;
    }
    EXPECT_FALSE(sim::IsHeld("COM3"));
}

TEST_F(SavedConfigStartTest, SavedPortThatIsGoneIsReportedAndStartUpGoesOn) {
    ScratchFolder::Write(state.configPath, "{\"cat\": {\"port\": \"COM8\"}}");
    LoadSavedCatConfig(state);
    EXPECT_EQ(log.Out(), std::vector<std::string>{"[brinmoor] Loading saved port config: COM8\n"});
    EXPECT_EQ(log.Err(), std::vector<std::string>{"[brinmoor] Failed to open CAT port COM8\n"});
    EXPECT_EQ(ScratchFolder::Read(state.configPath), "{\"cat\": {\"port\": \"COM8\"}}");
}

}  // namespace
}  // namespace brinmoor
