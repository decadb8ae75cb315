// Real station software on an app group's CAT port: Hamlib's rigctl, set up
// for a Kenwood TS-2000 (the identity the radio simulator reports), reads and
// changes the simulated radio through brinmoor as it would a radio on a
// serial cable. The cable is a pair of pseudo-terminals. Skipped where rigctl
// (Debian's libhamlib-utils) is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/posix/null_modem.h"
#include "support/posix/process.h"
#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::NullModem;
using test::RadioSim;
using test::ServerProcess;
using test::TcpClient;

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

class StationSoftwareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rigctl = FindProgram("rigctl");
        if (rigctl.empty()) GTEST_SKIP() << "rigctl (Debian package libhamlib-utils) not installed";
        ASSERT_TRUE(cable.IsOpen());
        ASSERT_TRUE(radio.Start({"--log"}));
        ASSERT_TRUE(server.StartListening());
        client = std::make_unique<TcpClient>(server.Port());
        ASSERT_TRUE(client->Connected());
        // The server plays the radio on one end of the cable; rigctl opens the other.
        ASSERT_EQ(client->Ask("CFG{\"ports\": {\"CAT\": {\"port\": \"" + radio.Path() +
                                  "\"}}, \"ext_groups\": {\"1\": {\"name\": \"Hamlib\", \"cat\": "
                                  "{\"port\": \"" +
                                  cable.EndA() + "\", \"baud\": 38400}}}};",
                              15s),
                  "CFG_OK;");
        ASSERT_TRUE(server.WaitOut("[relay] CAT relay started for group 1 on " + cable.EndA()));
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
        std::vector<std::string> argv{rigctl, "--model=" + model, "--rig-file=" + cable.EndB(),
                                      "--serial-speed=38400"};
        argv.insert(argv.end(), commands.begin(), commands.end());
        ChildProcess process;
        std::vector<std::string> lines;
        std::string error;
        if (!process.Start(argv, {}, &error)) {
            ADD_FAILURE() << "cannot start rigctl: " << error;
            return lines;
        }
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto line = process.ReadLine(1s);
            if (line) {
                lines.push_back(*line);
            } else if (!process.Running()) {
                break;
            }
        }
        EXPECT_EQ(process.Wait(5s), 0);
        return lines;
    }

    std::string rigctl;
    NullModem cable;
    RadioSim radio;
    ServerProcess server;
    std::unique_ptr<TcpClient> client;
};

TEST_F(StationSoftwareTest, RigctlReadsTheRadioThroughItsGroup) {
    // TS-2000, TS-590S and TS-480 speak the same commands for this.
    for (const char* model : {"2014", "2031", "2028"}) {
        SCOPED_TRACE(model);
        const auto lines = Rigctl({"f", "m"}, model);
        ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
        EXPECT_EQ(lines[0], "14074000");
        EXPECT_EQ(lines[1], "USB");
        EXPECT_TRUE(radio.WaitLog("rx FA;", 2s));
    }
}

TEST_F(StationSoftwareTest, RigctlChangesTheRadioOnlyAsTheActiveApp) {
    // Not the active app: the new frequency never reaches the radio. (Within
    // one run rigctl answers "f" from its own cache after an "F", so a second
    // run reads the radio.)
    Rigctl({"F", "14075000"});
    auto lines = Rigctl({"f"});
    EXPECT_EQ(lines, std::vector<std::string>{"14074000"});
    EXPECT_EQ(client->Ask("FA;"), "FA00014074000;");

    ASSERT_EQ(client->Ask("AG1;"), "AG_OK;");
    ASSERT_TRUE(server.WaitOut("[relay] Active app set to 'Hamlib' (group 1)"));
    // (CW: Kenwood's "MD1;" for LSB counts as a query here, see the CAT
    // command classification, and would be answered "?;".)
    Rigctl({"F", "14075000", "M", "CW", "0"});
    lines = Rigctl({"f", "m"});
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "14075000");
    EXPECT_EQ(lines[1], "CW");
    EXPECT_TRUE(radio.WaitLog("rx FA00014075000;", 2s));
    EXPECT_EQ(client->Ask("FA;"), "FA00014075000;");
    EXPECT_EQ(client->Ask("MD;"), "MD3;");
}

}  // namespace
}  // namespace brinmoor
