// Programs and the radio without virtual serial ports, through the real
// binary: a pty: endpoint is a program's serial port for as long as its relay
// runs, the radio's serial server over TCP is lost and found again, and a
// station file brings a station back after a restart with a tcp: endpoint that
// serves one admitted program at a time.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/posix/station.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::CatCfg;
using test::ReadWholeFile;
using test::TcpClient;

// The radio on the CAT port and each group's CAT port, as a CFG document.
std::string StationDocument(const std::string& radio,
                            const std::vector<std::string>& groupCatPorts) {
    std::string groups;
    for (std::size_t i = 0; i < groupCatPorts.size(); ++i) {
        groups += (i == 0 ? "\"" : ", \"") + std::to_string(i + 1) + "\": {\"name\": \"Logger " +
                  std::to_string(i + 1) + "\", \"cat\": {\"port\": \"" + groupCatPorts[i] + "\"}}";
    }
    return "{\"ports\": {\"CAT\": {\"port\": \"" + radio + "\"}}, \"ext_groups\": {" + groups + "}";
}

class EndpointSystemTest : public test::StationTest {
  protected:
    // The server with the groups' CAT ports (and the radio simulator, logging).
    void Serve(const std::vector<std::string>& groupCatPorts,
               const std::vector<std::string>& options = {}) {
        ASSERT_NO_FATAL_FAILURE(StartStation({"--log"}, options, false));
        ASSERT_EQ(control->Ask("CFG" + StationDocument(radio.Path(), groupCatPorts) + "};", 15s),
                  "CFG_OK;");
    }
};

// Reads from the descriptor until the text holds `ends` semicolons, or 5 s pass.
std::string ReadReplies(int fd, int ends) {
    std::string text;
    for (int waits = 0; waits < 50 && std::count(text.begin(), text.end(), ';') < ends; ++waits) {
        pollfd p{fd, POLLIN, 0};
        char chunk[256];
        if (poll(&p, 1, 100) == 1) {
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
        }
    }
    return text;
}

TEST_F(EndpointSystemTest, APtyEndpointIsAProgramsSerialPortWhileItsRelayRuns) {
    const std::string link = (server.Folder() / "logger").string();
    const std::string file = (server.Folder() / "notes").string();
    // A link that an earlier run left to a pseudo-terminal long gone is
    // replaced; a file is never touched.
    std::filesystem::create_symlink("/dev/pts/999999", link);
    std::ofstream(file) << "keep";
    ASSERT_NO_FATAL_FAILURE(Serve({"pty:" + link, "pty:" + file}));
    ASSERT_TRUE(server.WaitOut("[relay] CAT relay started for group 1 on pty:" + link));
    EXPECT_TRUE(server.WaitErr("[relay] pty:" + file + " not opened: " + file +
                               " exists and is not a link"));
    EXPECT_EQ(ReadWholeFile(file), "keep");

    // Opened as a program opens a serial port, with the settings it finds.
    const int program = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(program, 0);
    ASSERT_EQ(write(program, "FA;ID;", 6), 6);
    EXPECT_EQ(ReadReplies(program, 2), "FA00014074000;ID019;");
    close(program);

    // The next configuration stops the relays, and the link goes with them.
    ASSERT_EQ(control->Ask("CFG{};", 15s), "CFG_OK;");
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadWholeFile(file), "keep");
}

TEST_F(EndpointSystemTest, TheRadiosSerialServerIsLostAndFoundAgain) {
    test::RadioSim remote;
    ASSERT_TRUE(remote.Start({"--tcp", "0"}));
    ASSERT_NO_FATAL_FAILURE(Serve({}));
    ASSERT_EQ(control->Ask(CatCfg(remote.Path()), 15s), "CFG_OK;");
    ASSERT_TRUE(server.WaitOut("CAT port " + remote.Path() + " opened. Radio ID: ID019"));
    EXPECT_EQ(control->Ask("FA;"), "FA00014074000;");

    ASSERT_TRUE(remote.Control("hangup"));
    EXPECT_EQ(control->Ask("FA;"), "ERRFA;");
    EXPECT_TRUE(server.WaitErr("[brinmoor] CAT port " + remote.Path() +
                               " lost \xE2\x80\x94 will reopen when it returns"));
    EXPECT_TRUE(server.WaitOut("[brinmoor] CAT port " + remote.Path() + " reopened", 10s));
    EXPECT_TRUE(server.WaitOut("CAT port " + remote.Path() + " opened. Radio ID: ID019"));
    EXPECT_EQ(control->Ask("FA;"), "FA00014074000;");
    EXPECT_NE(control->Ask("PORTS;").find("\"com\":\"" + remote.Path() + "\",\"baud\":38400"),
              std::string::npos);
}

TEST_F(EndpointSystemTest, AStationFileBringsGroupsAndTheActiveAppBackAfterARestart) {
    ASSERT_TRUE(radio.Start({"--log"}));
    const std::string station = (server.Folder() / "station.json").string();
    const std::uint16_t port = test::FreeLoopbackPort();
    const std::string name = "tcp:" + std::to_string(port);
    std::ofstream(station) << StationDocument(radio.Path(), {name}) << ", \"active\": 1}\n";
    for (const std::string frequency : {"00014075000", "00014076000"}) {
        ASSERT_TRUE(server.StartListening({"--station", station, "--allow", "127.0.0.1"}));
        EXPECT_TRUE(server.WaitOut("[brinmoor] Applying station file " + station));
        EXPECT_TRUE(server.WaitOut("[relay] CAT relay started for group 1 on " + name));
        EXPECT_TRUE(server.WaitOut("[relay] Active app set to 'Logger 1' (group 1)"));
        // Only the active app's set commands reach the radio.
        TcpClient logger(port);
        ASSERT_TRUE(logger.Send("FA" + frequency + ";"));
        EXPECT_TRUE(radio.WaitLog("rx FA" + frequency + ";", 5s));
        EXPECT_TRUE(server.WaitOut("[relay] " + name + ": program connected from 127.0.0.1"));
        // STATUS names the connected program.
        EXPECT_NE(TcpClient(server.Port()).Ask("STATUS;").find(
                      R"("kind":"tcp","open":true,"peer":"127.0.0.1")"),
                  std::string::npos);
        // The tcp: endpoint serves one program at a time, and only those that
        // --allow admits.
        TcpClient second(port);
        EXPECT_TRUE(second.WaitClosed());
        EXPECT_TRUE(server.WaitErr("[relay] " + name +
                                   ": connection from 127.0.0.1 refused (a program is already "
                                   "connected)"));
        TcpClient stranger(port, 5s, "127.0.0.2");
        EXPECT_TRUE(stranger.WaitClosed());
        EXPECT_TRUE(server.WaitErr(name + ": connection from 127.0.0.2 refused (not in --allow)"));
        logger.Close();
        EXPECT_TRUE(server.WaitOut("[relay] " + name + ": program from 127.0.0.1 disconnected"));
        EXPECT_EQ(TcpClient(port).Ask("if;").rfind("IF" + frequency, 0), 0u);
        TcpClient(server.Port()).Send("QUIT;");
        EXPECT_EQ(server.Wait(10s), 0);
    }
    // A file that cannot be read is said, and the server starts without it.
    ASSERT_TRUE(server.StartListening({"--station", station + ".missing"}));
    EXPECT_TRUE(server.WaitErr("[brinmoor] Could not read station file " + station + ".missing"));
    control = std::make_unique<TcpClient>(server.Port());
    EXPECT_EQ(control->Ask("FA;", 15s), "FA00014076000;");
}

}  // namespace
}  // namespace brinmoor
