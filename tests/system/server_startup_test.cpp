// The real brinmoor binary: its command line, start-up lines, the saved file
// beside it, bind failures and exit codes.

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>

#include "support/posix/pty.h"
#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::CatCfg;
using test::RadioSim;
using test::ReadWholeFile;
using test::ServerProcess;
using test::TcpClient;

const std::string kNoSavedConfig =
    "[brinmoor] No saved config \xE2\x80\x94 waiting for port configuration from Varnholt.";

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string SavedText(const std::string& port, int baud, const std::string& parity,
                      const std::string& stop) {
    return "{\n  \"cat\": {\n    \"port\": \"" + port +
           "\",\n    \"baud\": " + std::to_string(baud) +
           ",\n    \"bytesize\": \"8\",\n    \"parity\": \"" + parity +
           "\",\n    \"stopbits\": \"" + stop + "\"\n  }\n}\n";
}

// Sends QUIT and expects an orderly end with exit code 0.
void QuitServer(ServerProcess& server) {
    TcpClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Ask("QUIT;"), "QUIT_OK;");
    EXPECT_TRUE(server.WaitOut("[brinmoor] Shutting down."));
    EXPECT_EQ(server.Wait(), 0);
}

// Started under nohup, the server outlives the terminal's hang-up.
TEST(ServerStartupTest, ASignalIgnoredAtStartStaysIgnored) {
    ServerProcess server;
    server.launcher = {"nohup"};
    ASSERT_TRUE(server.StartListening());
    ASSERT_TRUE(server.Process().Signal(SIGHUP));
    EXPECT_FALSE(server.Wait(std::chrono::milliseconds(1500)).has_value());
    TcpClient client(server.Port());
    EXPECT_EQ(client.Ask("PW;"), "PW000;");
    ASSERT_TRUE(server.Process().Signal(SIGTERM));
    EXPECT_EQ(server.Wait(), 0);
    EXPECT_FALSE(server.WaitOut("SIGHUP received", std::chrono::milliseconds(100)));
}

TEST(ServerStartupTest, TerminationSignalsShutDownAsQuitWithTheLinesReleased) {
    for (const auto& [signal, name] : {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGINT, "SIGINT"},
                                       std::pair{SIGHUP, "SIGHUP"}}) {
        SCOPED_TRACE(name);
        test::PseudoTerminal ptt;
        ServerProcess server;
        // The transmit time-out releases a line keyed too long, and says so.
        ASSERT_TRUE(server.StartListening({"--tx-timeout", "1"}));
        TcpClient client(server.Port());
        ASSERT_EQ(client.Ask("CFG{\"ports\": {\"PTT\": {\"port\": \"" + ptt.SlavePath() + "\"}}};"),
                  "CFG_OK;");
        client.Send("PT1;");
        if (signal == SIGTERM) {  // once is enough: it takes a second
            EXPECT_TRUE(
                server.WaitOut("[brinmoor] PTT released: keyed longer than 1 s (--tx-timeout)."));
            client.Send("PT1;");
        }
        EXPECT_EQ(client.Ask("PW;"), "PW000;");
        EXPECT_TRUE(test::DeviceLocked(ptt.SlavePath()));

        ASSERT_TRUE(server.Process().Signal(signal));
        EXPECT_EQ(server.Wait(), 0);
        EXPECT_TRUE(server.WaitOut(std::string("[brinmoor] ") + name + " received."));
        EXPECT_TRUE(server.WaitOut("[brinmoor] Shutting down."));
        EXPECT_TRUE(client.WaitClosed());
        EXPECT_FALSE(test::DeviceLocked(ptt.SlavePath()))
            << "the PTT port is closed, its line down";
        server.DrainOutput();
        EXPECT_TRUE(server.ErrLines().empty());
    }
}

// Runs that end at once: their exit code and their only line.
TEST(ServerStartupTest, OptionsThatEndTheRunAtOnce) {
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        std::string line;  // the start of the only line, on standard error when the code is 1
    } cases[] = {
        {{"--port", "70000"}, 1, "[brinmoor] TCP port 70000 is out of range: use 1 to 65535."},
        {{"--bind", "localhost"}, 1, "[brinmoor] "},
        {{"--version"}, 0, std::string("brinmoor ") + BRINMOOR_VERSION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[0]);
        ServerProcess server;
        ASSERT_TRUE(server.Start(c.arguments));
        EXPECT_EQ(server.Wait(), c.exitCode);
        server.DrainOutput();
        const auto& lines = c.exitCode == 0 ? server.OutLines() : server.ErrLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].rfind(c.line, 0), 0u) << lines[0];
        if (c.exitCode != 0) {
            EXPECT_TRUE(server.OutLines().empty());
        }
    }
}

TEST(ServerStartupTest, BindFailsWhenThePortIsInUse) {
    ServerProcess holder;  // holds the port
    ASSERT_TRUE(holder.StartListening());
    const std::string port = std::to_string(holder.Port());
    // A second server with a saved radio port stops before it opens that port.
    test::PseudoTerminal radio;
    ServerProcess server;
    WriteFile(server.SavedFile(), SavedText(radio.SlavePath(), 38400, "none", "1"));
    ASSERT_TRUE(server.Start({"--bind", "127.0.0.1", "--port", port}));
    EXPECT_EQ(server.Wait(), 1);
    server.DrainOutput();
    EXPECT_EQ(server.OutLines(),
              std::vector<std::string>{"[brinmoor] Listening on TCP port " + port + "."});
    ASSERT_EQ(server.ErrLines().size(), 1u);
    EXPECT_EQ(server.ErrLines()[0].rfind("[brinmoor] bind() failed on port " + port + ": ", 0), 0u)
        << server.ErrLines()[0];
}

class SavedConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(radio.Start()); }
    RadioSim radio;
    ServerProcess server;
};

// CFG saves where --config says; without it the file beside the binary is
// read at start (and written back in its own form).
TEST_F(SavedConfigTest, CfgSavesTheFileAndARestartReopens) {
    const std::string elsewhere = (server.Folder() / "other.json").string();
    ASSERT_TRUE(server.StartListening({"--config", elsewhere}));
    {
        TcpClient client(server.Port());
        EXPECT_EQ(client.Ask(CatCfg(radio.Path(), ", \"baud\": 9600")), "CFG_OK;");
        EXPECT_TRUE(
            server.WaitOut("[brinmoor] CAT port " + radio.Path() + " opened. Radio ID: ID019"));
        EXPECT_EQ(ReadWholeFile(elsewhere), SavedText(radio.Path(), 9600, "none", "1"));
        EXPECT_FALSE(std::filesystem::exists(server.SavedFile()));
        EXPECT_EQ(client.Ask("QUIT;"), "QUIT_OK;");
        EXPECT_EQ(server.Wait(), 0);
    }

    // A hand-written file: quoted baud (not read), parity letter, numeric stop bits.
    WriteFile(server.SavedFile(), "{\"cat\": {\"port\": \"" + radio.Path() +
                                      "\", \"baud\": \"9600\", \"parity\": \"E\", "
                                      "\"stopbits\": 2}}");
    ASSERT_TRUE(server.StartListening());
    // The port is the server's before the radio's lines are touched.
    ASSERT_TRUE(server.WaitOut("[brinmoor] Radio speaks"));
    const auto& lines = server.OutLines();
    const std::vector<std::string> wanted{
        "[brinmoor] Listening on TCP port " + std::to_string(server.Port()) + ".",
        "[brinmoor] Loading saved port config: " + radio.Path(),
        "[brinmoor] CAT port " + radio.Path() + " opened. Radio ID: ID019",
        "[brinmoor] Radio speaks the three-digit-ID dialect: transmit state read from IF"};
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()), wanted);
    EXPECT_EQ(ReadWholeFile(server.SavedFile()), SavedText(radio.Path(), 38400, "even", "2"));

    TcpClient client(server.Port());
    EXPECT_EQ(client.Ask("FA;"), "FA00014074000;");
    EXPECT_EQ(client.Ask("PORTS;"), "PORTS{\"tcp_port\":" + std::to_string(server.Port()) +
                                        ",\"com\":\"" + radio.Path() +
                                        "\",\"baud\":38400,\"bits\":\"8\",\"parity\":\"even\","
                                        "\"stopbits\":\"2\"};");
    EXPECT_EQ(client.Ask("QUIT;"), "QUIT_OK;");
    EXPECT_EQ(server.Wait(), 0);
}

// Without a usable saved file the server waits for the desktop application.
TEST_F(SavedConfigTest, FirstStartAndUnusableSavedFiles) {
    ASSERT_TRUE(server.StartListening());
    ASSERT_TRUE(server.WaitOut(kNoSavedConfig));
    EXPECT_EQ(server.OutLines(), (std::vector<std::string>{"[brinmoor] Listening on TCP port " +
                                                               std::to_string(server.Port()) + ".",
                                                           kNoSavedConfig}));
    {
        TcpClient client(server.Port());
        EXPECT_EQ(client.Ask("PORTS;"), "PORTS{\"tcp_port\":" + std::to_string(server.Port()) + "};");
        EXPECT_TRUE(server.WaitOut("[brinmoor] Client connected."));
    }
    QuitServer(server);
    server.DrainOutput();
    EXPECT_TRUE(server.ErrLines().empty());
    EXPECT_FALSE(std::filesystem::exists(server.SavedFile()));

    WriteFile(server.SavedFile(), "{cat: 1}");
    ASSERT_TRUE(server.StartListening());
    EXPECT_TRUE(
        server.WaitOut("[brinmoor] Could not parse saved config \xE2\x80\x94 waiting for port "
                       "configuration from Varnholt."));
    QuitServer(server);

    WriteFile(server.SavedFile(), "{\"cat\": {\"port\": \"/dev/brinmoor-no-such-port\"}}");
    ASSERT_TRUE(server.StartListening());
    EXPECT_TRUE(server.WaitOut("[brinmoor] Loading saved port config: /dev/brinmoor-no-such-port"));
    EXPECT_TRUE(server.WaitErr("[brinmoor] Failed to open CAT port /dev/brinmoor-no-such-port"));
    TcpClient client(server.Port());
    EXPECT_EQ(client.Ask("FA;"), "ERRFA;");
    client.Close();
    QuitServer(server);

    WriteFile(server.SavedFile(), "{\"cat\": {\"port\": \"\"}}");
    ASSERT_TRUE(server.StartListening());
    EXPECT_TRUE(server.WaitOut(kNoSavedConfig));
    QuitServer(server);
}

}  // namespace
}  // namespace brinmoor
