// The control commands of the real server: PORTS, CFG, PW, AG, PT, CK and
// QUIT, with the radio simulator on the CAT port.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::CatCfg;
using test::RadioSim;
using test::ServerProcess;
using test::TcpClient;

class ControlCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(radio.Start());
        ASSERT_TRUE(server.StartListening());
        client = std::make_unique<TcpClient>(server.Port());
        ASSERT_TRUE(client->Connected());
        port = std::to_string(server.Port());
    }

    void TearDown() override {
        if (!client) return;
        client->Send("QUIT;");
        EXPECT_EQ(server.Wait(), 0);
    }

    std::string Status() const {
        return "PORTS{\"tcp_port\":" + port + ",\"com\":\"" + radio.Path() +
               "\",\"baud\":38400,\"bits\":\"8\",\"parity\":\"none\",\"stopbits\":\"1\"};";
    }

    // Asks until the answer is the wanted one.
    bool EventuallyAnswers(const std::string& command, const std::string& wanted) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::string last;
        while (std::chrono::steady_clock::now() < deadline) {
            last = client->Ask(command);
            if (last == wanted) return true;
            std::this_thread::sleep_for(100ms);
        }
        ADD_FAILURE() << "last answer " << last;
        return false;
    }

    RadioSim radio;
    ServerProcess server;
    std::unique_ptr<TcpClient> client;
    std::string port;
};

TEST_F(ControlCommandsTest, CfgConfiguresTheCatPort) {
    EXPECT_EQ(client->Ask("PORTS;"), "PORTS{\"tcp_port\":" + port + "};");
    EXPECT_EQ(client->Ask("PW;"), "PW000;");
    EXPECT_EQ(client->Ask(CatCfg(radio.Path())), "CFG_OK;");
    EXPECT_TRUE(server.WaitOut("[brinmoor] CAT port " + radio.Path() + " opened. Radio ID: ID019"));
    EXPECT_EQ(client->Ask("PORTS;"), Status());
    EXPECT_EQ(client->Ask("ID;"), "ID019;");
    EXPECT_TRUE(std::filesystem::exists(server.SavedFile()));

    // "NONE" in any case and an empty name leave the open port open.
    for (const char* none : {"NONE", "none", ""}) {
        EXPECT_EQ(client->Ask(CatCfg(none)), "CFG_OK;");
        EXPECT_EQ(client->Ask("FA;"), "FA00014074000;") << none;
    }
    EXPECT_EQ(client->Ask("CFG{};"), "CFG_OK;");
    EXPECT_EQ(client->Ask("PORTS;"), Status());
}

TEST_F(ControlCommandsTest, BadAndPartialCfg) {
    EXPECT_EQ(client->Ask("CFG{ports: {\"CAT\": {\"port\": \"" + radio.Path() + "\"}}};"),
              "CFG_OK;");
    EXPECT_TRUE(server.WaitOut("[config] Bad CFG JSON"));
    EXPECT_EQ(client->Ask("PORTS;"), "PORTS{\"tcp_port\":" + port + "};");
    EXPECT_FALSE(std::filesystem::exists(server.SavedFile()));

    // A document that breaks off is taken as far as it goes.
    EXPECT_EQ(client->Ask("CFG {\"ports\": {\"CAT\": {\"port\": \"" + radio.Path() + "\";"),
              "CFG_OK;");
    EXPECT_TRUE(server.WaitOut("Radio ID: ID019"));
    EXPECT_EQ(client->Ask("PORTS;"), Status());

    // A port that will not open is reported; the status keeps the last good one.
    EXPECT_EQ(client->Ask(CatCfg("/dev/brinmoor-no-such-port")), "CFG_OK;");
    EXPECT_TRUE(server.WaitErr("[brinmoor] Failed to open CAT port /dev/brinmoor-no-such-port"));
    EXPECT_EQ(client->Ask("PORTS;"), Status());
}

TEST_F(ControlCommandsTest, SilentRadioAtCfgGetsTheWarning) {
    ASSERT_TRUE(radio.Control("silent on"));
    EXPECT_EQ(client->Ask(CatCfg(radio.Path()), 5s), "CFG_OK;");
    EXPECT_TRUE(server.WaitOut(
        "[brinmoor] WARNING: No ID response \xE2\x80\x94 check COM port and radio power"));
}

TEST_F(ControlCommandsTest, PwFollowsThePowerSettingAndTheTransmitStateInBothDialects) {
    struct Case {
        const char* id;
        const char* dialect;
        const char* transmitting;  // meter 200 is 88 W; a three-digit radio's meter is not read
    };
    for (const Case& c :
         {Case{"0570", "four-digit-ID dialect: transmit state read from TX", "PW2088;"},
          Case{"019", "three-digit-ID dialect: transmit state read from IF", "PW2050;"}}) {
        SCOPED_TRACE(c.id);
        RadioSim sim;
        ASSERT_TRUE(sim.Start({"--id", c.id, "--meter", "200", "--log"}));
        ASSERT_EQ(client->Ask(CatCfg(sim.Path())), "CFG_OK;");
        EXPECT_TRUE(server.WaitOut(std::string("[brinmoor] Radio speaks the ") + c.dialect));
        client->Send("PC050;");
        EXPECT_EQ(client->Ask("PC;"), "PC050;");
        EXPECT_TRUE(EventuallyAnswers("PW;", "PW0050;"));

        // Keyed at the radio, then released there.
        ASSERT_TRUE(sim.Control("tx on"));
        EXPECT_TRUE(EventuallyAnswers("PW;", c.transmitting));
        ASSERT_TRUE(sim.Control("tx off"));
        EXPECT_TRUE(EventuallyAnswers("PW;", "PW0050;"));

        // "TX;" would key a three-digit radio: the server never sends it one.
        if (std::string(c.id).size() == 3) {
            for (const std::string& line : sim.LogLines(600ms)) {
                EXPECT_NE(line.rfind("rx TX", 0), 0u) << line;
                EXPECT_NE(line.rfind("rx RM", 0), 0u) << line;
            }
        }
    }
}

TEST_F(ControlCommandsTest, AgLogsTheGroupName) {
    EXPECT_EQ(client->Ask("AG7;"), "AG_OK;");
    EXPECT_TRUE(server.WaitOut("[relay] Active app set to 'Group 7' (group 7)"));
    EXPECT_EQ(client->Ask("AG;"), "AG_OK;");
    EXPECT_TRUE(server.WaitOut("[relay] Active app set to 'Default' (group -1)"));
    EXPECT_EQ(client->Ask("AGx;"), "AG_OK;");
    EXPECT_TRUE(server.WaitOut("[relay] Active app set to 'Default' (group -1)"));
}

TEST_F(ControlCommandsTest, QuitWithOtherClientsConnectedAndTheRadioBusy) {
    ASSERT_EQ(client->Ask(CatCfg(radio.Path())), "CFG_OK;");
    ASSERT_TRUE(radio.Control("silent on"));
    // One client idle, two waiting on a radio that does not answer.
    TcpClient idle(server.Port());
    TcpClient busy(server.Port());
    TcpClient queued(server.Port());
    ASSERT_TRUE(idle.Connected() && busy.Connected() && queued.Connected());
    idle.Send("PARTIAL");
    busy.Send("FA;");
    queued.Send("IF;FA;IF;");
    std::this_thread::sleep_for(100ms);

    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(client->Ask("QUIT;"), "QUIT_OK;");
    EXPECT_EQ(server.Wait(5s), 0);
    const auto took = std::chrono::steady_clock::now() - asked;
    // About 1.5 s at most; the margin is for a loaded machine.
    EXPECT_LT(took, 4s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    EXPECT_TRUE(idle.WaitClosed(1s));
    EXPECT_TRUE(busy.WaitClosed(1s));
    EXPECT_TRUE(queued.WaitClosed(1s));
    server.DrainOutput();
    EXPECT_NE(
        std::find(server.OutLines().begin(), server.OutLines().end(), "[brinmoor] Shutting down."),
        server.OutLines().end());
    client.reset();
}

TEST_F(ControlCommandsTest, PtAndCkWithoutLinesDoNothing) {
    ASSERT_EQ(client->Ask(CatCfg(radio.Path())), "CFG_OK;");
    client->Send("PT1;CK1;PT0;CK0;");
    EXPECT_EQ(client->ReadFor(400ms), "");
    EXPECT_EQ(client->Ask("FA;"), "FA00014074000;");
}

}  // namespace
}  // namespace brinmoor
