// Real station software on an app group's CAT port: Hamlib's rigctl, set up
// for Kenwood radios, reads and changes the simulated radio through brinmoor
// over a tcp: endpoint or a pty: endpoint as it would a radio on a serial port.
// Skipped where rigctl (Debian's libhamlib-utils) is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/posix/process.h"
#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::RadioSim;
using test::ServerProcess;
using test::TcpClient;

// How rigctl reaches the group's CAT port.
enum class Reach { Tcp, Pty };

class StationSoftwareTest : public ::testing::TestWithParam<Reach> {
  protected:
    void SetUp() override {
        // Where Debian and a local build put it.
        for (const char* path : {"/usr/local/bin/rigctl", "/usr/bin/rigctl"}) {
            if (rigctl.empty() && access(path, X_OK) == 0) rigctl = path;
        }
        if (rigctl.empty()) GTEST_SKIP() << "rigctl (Debian package libhamlib-utils) not installed";
        // The port rigctl opens, and the name the server serves it under.
        rigFile = GetParam() == Reach::Tcp
                      ? "127.0.0.1:" + std::to_string(test::FreeLoopbackPort())
                      : (server.Folder() / "rig").string();
        served = (GetParam() == Reach::Tcp ? "tcp:" : "pty:") + rigFile;
        ASSERT_TRUE(server.StartListening());
        client = std::make_unique<TcpClient>(server.Port());
        ASSERT_TRUE(client->Connected());
        ASSERT_NO_FATAL_FAILURE(Station("019"));
    }

    // A radio with this identity on the CAT port, and rigctl's group.
    void Station(const std::string& id) {
        radio = std::make_unique<RadioSim>();
        ASSERT_TRUE(radio->Start({"--id", id, "--log"}));
        ASSERT_EQ(client->Ask("CFG{\"ports\": {\"CAT\": {\"port\": \"" + radio->Path() +
                                  "\"}}, \"ext_groups\": {\"1\": {\"name\": \"Hamlib\", \"cat\": "
                                  "{\"port\": \"" +
                                  served + "\", \"baud\": 38400}}}};",
                              15s),
                  "CFG_OK;");
        ASSERT_TRUE(server.WaitOut("[relay] CAT relay started for group 1 on " + served));
    }

    void TearDown() override {
        if (!client) return;
        client->Send("QUIT;");
        EXPECT_EQ(server.Wait(10s), 0);
    }

    // Runs rigctl once with the commands (its own short command letters) for
    // the Hamlib model number; the lines it prints, its exit code checked.
    std::vector<std::string> Rigctl(const std::vector<std::string>& commands,
                                    const std::string& model = "2014") {
        std::vector<std::string> argv{rigctl, "--model=" + model, "--rig-file=" + rigFile,
                                      "--serial-speed=38400"};
        argv.insert(argv.end(), commands.begin(), commands.end());
        ChildProcess process;
        std::vector<std::string> lines;
        EXPECT_TRUE(process.Start(argv)) << "cannot start rigctl";
        while (auto line = process.ReadLine(60s)) lines.push_back(*line);
        EXPECT_EQ(process.Wait(5s), 0);
        return lines;
    }

    std::string rigctl;
    std::string served;
    std::string rigFile;
    std::unique_ptr<RadioSim> radio;
    ServerProcess server;
    std::unique_ptr<TcpClient> client;
};

TEST_P(StationSoftwareTest, KenwoodModelsReadThroughAnInactiveGroupAndChangeNothing) {
    // Each model starts with its own commands (PS, AI, FV, DA, ...); "M LSB 0"
    // sends MD1, which is LSB on these radios: a set, dropped for a group
    // that is not the active app.
    for (const auto& [model, id] :
         {std::pair{"2014", "019"}, std::pair{"2031", "021"}, std::pair{"2041", "024"}}) {
        SCOPED_TRACE(model);
        ASSERT_NO_FATAL_FAILURE(Station(id));
        const auto start = std::chrono::steady_clock::now();
        const auto lines = Rigctl({"f", "m", "l", "RFPOWER", "M", "LSB", "0"}, model);
        ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines);
        EXPECT_EQ(lines[0], "14074000");
        EXPECT_EQ(lines[1], "USB");
        EXPECT_NE(lines[3].find('.'), std::string::npos) << "RF power level " << lines[3];
        // Every read answered at once: no command waits out a time-out.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_EQ(client->Ask("MD;"), "MD2;");
        for (const std::string& line : radio->LogLines(300ms)) {
            EXPECT_NE(line.rfind("rx MD1", 0), 0u) << line;
            EXPECT_NE(line.rfind("rx PC0", 0), 0u) << line;
        }
    }
}

TEST_P(StationSoftwareTest, RigctlChangesTheRadioOnlyAsTheActiveApp) {
    // Not the active app: the new frequency never reaches the radio. (Within
    // one run rigctl answers "f" from its own cache after an "F", so a second
    // run reads the radio.)
    Rigctl({"F", "14075000"});
    auto lines = Rigctl({"f"});
    EXPECT_EQ(lines, std::vector<std::string>{"14074000"});
    EXPECT_EQ(client->Ask("FA;"), "FA00014074000;");

    ASSERT_EQ(client->Ask("AG1;"), "AG_OK;");
    ASSERT_TRUE(server.WaitOut("[relay] Active app set to 'Hamlib' (group 1)"));
    Rigctl({"F", "14075000", "M", "LSB", "0"});
    lines = Rigctl({"f", "m"});
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "14075000");
    EXPECT_EQ(lines[1], "LSB");
    EXPECT_TRUE(radio->WaitLog("rx FA00014075000;", 2s));
    EXPECT_EQ(client->Ask("FA;"), "FA00014075000;");
    EXPECT_EQ(client->Ask("MD;"), "MD1;");
}

INSTANTIATE_TEST_SUITE_P(Reaches, StationSoftwareTest,
                         ::testing::Values(Reach::Tcp, Reach::Pty), [](const auto& info) {
                             return std::string(info.param == Reach::Tcp ? "Tcp" : "Pty");
                         });

}  // namespace
}  // namespace brinmoor
