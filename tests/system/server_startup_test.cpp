// The real brinmoor binary: its command line, start-up lines, the saved file
// beside it, bind failures and exit codes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>

#include "support/posix/null_modem.h"
#include "support/posix/pty.h"
#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::CatCfg;
using test::FreeLoopbackPort;
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

TEST(ServerStartupTest, FirstStartWaitsForVarnholtAndQuitsCleanly) {
    ServerProcess server;
    ASSERT_TRUE(server.StartListening());
    ASSERT_GE(server.OutLines().size(), 2u);
    EXPECT_EQ(server.OutLines()[0], kNoSavedConfig);
    EXPECT_EQ(server.OutLines()[1],
              "[brinmoor] Listening on TCP port " + std::to_string(server.Port()) + ".");

    TcpClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Ask("PORTS;"), "PORTS{\"tcp_port\":" + std::to_string(server.Port()) + "};");
    EXPECT_TRUE(server.WaitOut("[brinmoor] Client connected."));
    EXPECT_EQ(client.Ask("QUIT;"), "QUIT_OK;");
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(server.WaitOut("[brinmoor] Shutting down."));
    EXPECT_EQ(server.Wait(), 0);
    server.DrainOutput();
    EXPECT_TRUE(server.ErrLines().empty());
    EXPECT_FALSE(std::filesystem::exists(server.SavedFile()));
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
        EXPECT_TRUE(
            server.WaitOut("[brinmoor] PTT released: keyed longer than 1 s (--tx-timeout)."));
        client.Send("PT1;");
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

TEST(ServerStartupTest, DefaultPortIs4532) {
    ServerProcess server;
    // Whether or not 4532 is free here, the listening line names it.
    ASSERT_TRUE(server.Start({"--bind", "127.0.0.1"}));
    EXPECT_TRUE(server.WaitOut("[brinmoor] Listening on TCP port 4532."));
}

TEST(ServerStartupTest, PortOptionForms) {
    const std::string first = std::to_string(FreeLoopbackPort());
    const std::uint16_t second = FreeLoopbackPort();
    struct Case {
        std::vector<std::string> arguments;
        std::string listening;
    };
    const std::string secondText = std::to_string(second);
    for (const Case& c : {Case{{"--port", first, "--port", secondText}, secondText},
                          Case{{"--port", secondText, "--port", "abc"}, secondText},
                          Case{{"--port", secondText + "xyz"}, secondText},
                          Case{{"--port", secondText, "--port"}, secondText}}) {
        ServerProcess server;
        std::vector<std::string> arguments{"--bind", "127.0.0.1"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        ASSERT_TRUE(server.Start(arguments));
        ASSERT_TRUE(server.WaitOut("[brinmoor] Listening on TCP port " + c.listening + "."))
            << c.arguments[1];
        TcpClient client(second);
        ASSERT_TRUE(client.Connected());
        EXPECT_EQ(client.Ask("PORTS;"), "PORTS{\"tcp_port\":" + c.listening + "};");
        EXPECT_EQ(client.Ask("QUIT;"), "QUIT_OK;");
        EXPECT_EQ(server.Wait(), 0);
    }
}

TEST(ServerStartupTest, PortOutsideTheRangeIsRefused) {
    for (const char* value : {"0", "70000", "-5"}) {
        ServerProcess server;
        ASSERT_TRUE(server.Start({"--port", value}));
        EXPECT_EQ(server.Wait(), 1) << value;
        server.DrainOutput();
        EXPECT_EQ(server.ErrLines(),
                  std::vector<std::string>{"[brinmoor] TCP port " + std::string(value) +
                                           " is out of range: use 1 to 65535."});
        EXPECT_TRUE(server.OutLines().empty());
    }
}

TEST(ServerStartupTest, HelpAndVersion) {
    ServerProcess help;
    ASSERT_TRUE(help.Start({"--help"}));
    EXPECT_EQ(help.Wait(), 0);
    help.DrainOutput();
    ASSERT_FALSE(help.OutLines().empty());
    EXPECT_EQ(help.OutLines()[0].rfind("Usage: brinmoor [--port N]", 0), 0u);

    ServerProcess version;
    ASSERT_TRUE(version.Start({"--version"}));
    EXPECT_EQ(version.Wait(), 0);
    version.DrainOutput();
    EXPECT_EQ(version.OutLines(),
              std::vector<std::string>{std::string("brinmoor ") + BRINMOOR_VERSION});

    ServerProcess badBind;
    ASSERT_TRUE(badBind.Start({"--bind", "localhost"}));
    EXPECT_EQ(badBind.Wait(), 1);
}

TEST(ServerStartupTest, BindFailsWhenThePortIsInUse) {
    // A listener of the test's own holds the port.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t size = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string port = std::to_string(ntohs(address.sin_port));

    ServerProcess server;
    ASSERT_TRUE(server.Start({"--bind", "127.0.0.1", "--port", port}));
    EXPECT_EQ(server.Wait(), 1);
    server.DrainOutput();
    ASSERT_FALSE(server.OutLines().empty());
    EXPECT_EQ(server.OutLines().back(), "[brinmoor] Listening on TCP port " + port + ".");
    ASSERT_EQ(server.ErrLines().size(), 1u);
    EXPECT_EQ(server.ErrLines()[0].rfind("[brinmoor] bind() failed on port " + port + ": ", 0), 0u)
        << server.ErrLines()[0];
    ::close(holder);

    // A second brinmoor on the port of a running one fails the same way.
    ServerProcess first;
    ASSERT_TRUE(first.StartListening());
    ServerProcess second;
    ASSERT_TRUE(second.Start({"--bind", "127.0.0.1", "--port", std::to_string(first.Port())}));
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_TRUE(second.WaitErr("[brinmoor] bind() failed on port " + std::to_string(first.Port())));
    QuitServer(first);
}

class SavedConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(radio.Start()); }
    RadioSim radio;
    ServerProcess server;
};

TEST_F(SavedConfigTest, CfgSavesBesideTheBinaryAndARestartReopens) {
    ASSERT_TRUE(server.StartListening());
    {
        TcpClient client(server.Port());
        EXPECT_EQ(client.Ask(CatCfg(radio.Path(), ", \"baud\": 9600")), "CFG_OK;");
        EXPECT_TRUE(
            server.WaitOut("[brinmoor] CAT port " + radio.Path() + " opened. Radio ID: ID019"));
        EXPECT_EQ(ReadWholeFile(server.SavedFile()), SavedText(radio.Path(), 9600, "none", "1"));
        EXPECT_EQ(client.Ask("QUIT;"), "QUIT_OK;");
        EXPECT_EQ(server.Wait(), 0);
    }

    // A hand-written file: quoted baud (not read), parity letter, numeric stop bits.
    WriteFile(server.SavedFile(), "{\"cat\": {\"port\": \"" + radio.Path() +
                                      "\", \"baud\": \"9600\", \"parity\": \"E\", "
                                      "\"stopbits\": 2}}");
    ServerProcess& again = server;
    ASSERT_TRUE(again.StartListening());
    const auto& lines = again.OutLines();
    const std::vector<std::string> wanted{
        "[brinmoor] Loading saved port config: " + radio.Path(),
        "[brinmoor] CAT port " + radio.Path() + " opened. Radio ID: ID019",
        "[brinmoor] Radio speaks the three-digit-ID dialect: transmit state read from IF",
        "[brinmoor] Listening on TCP port " + std::to_string(again.Port()) + "."};
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()), wanted);
    EXPECT_EQ(ReadWholeFile(again.SavedFile()), SavedText(radio.Path(), 38400, "even", "2"));

    TcpClient client(again.Port());
    EXPECT_EQ(client.Ask("FA;"), "FA00014074000;");
    EXPECT_EQ(client.Ask("PORTS;"), "PORTS{\"tcp_port\":" + std::to_string(again.Port()) +
                                        ",\"com\":\"" + radio.Path() +
                                        "\",\"baud\":38400,\"bits\":\"8\",\"parity\":\"even\","
                                        "\"stopbits\":\"2\"};");
    EXPECT_EQ(client.Ask("QUIT;"), "QUIT_OK;");
    EXPECT_EQ(again.Wait(), 0);
}

TEST_F(SavedConfigTest, ConfigOptionPutsTheFileElsewhere) {
    const std::string elsewhere = (server.Folder() / "other.json").string();
    ASSERT_TRUE(server.StartListening({"--config", elsewhere}));
    TcpClient client(server.Port());
    EXPECT_EQ(client.Ask(CatCfg(radio.Path())), "CFG_OK;");
    EXPECT_EQ(ReadWholeFile(elsewhere), SavedText(radio.Path(), 38400, "none", "1"));
    EXPECT_FALSE(std::filesystem::exists(server.SavedFile()));
    EXPECT_EQ(client.Ask("QUIT;"), "QUIT_OK;");
    EXPECT_EQ(server.Wait(), 0);
}

TEST_F(SavedConfigTest, UnusableSavedFiles) {
    WriteFile(server.SavedFile(), "{cat: 1}");
    ASSERT_TRUE(server.StartListening());
    EXPECT_EQ(server.OutLines()[0],
              "[brinmoor] Could not parse saved config \xE2\x80\x94 waiting for port "
              "configuration from Varnholt.");
    QuitServer(server);

    WriteFile(server.SavedFile(), "{\"cat\": {\"port\": \"/dev/brinmoor-no-such-port\"}}");
    ASSERT_TRUE(server.StartListening());
    EXPECT_EQ(server.OutLines()[server.OutLines().size() - 2],
              "[brinmoor] Loading saved port config: /dev/brinmoor-no-such-port");
    EXPECT_TRUE(server.WaitErr("[brinmoor] Failed to open CAT port /dev/brinmoor-no-such-port"));
    TcpClient client(server.Port());
    EXPECT_EQ(client.Ask("FA;"), "ERRFA;");
    client.Close();
    QuitServer(server);

    WriteFile(server.SavedFile(), "{\"cat\": {\"port\": \"\"}}");
    ASSERT_TRUE(server.StartListening());
    EXPECT_EQ(server.OutLines()[server.OutLines().size() - 2], kNoSavedConfig);
    QuitServer(server);
}

}  // namespace
}  // namespace brinmoor
