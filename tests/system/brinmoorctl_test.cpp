// brinmoorctl against the real server, with the radio simulator on the CAT
// port and pseudo-terminals playing the external programs of two app groups.
// Its failures and exit codes are tested against a stand-in server (tests/ctl).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "support/posix/pty.h"
#include "support/posix/station.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::PseudoTerminal;

const std::string kCtlBinary = BRINMOOR_BINARY_DIR "/tools/brinmoorctl/brinmoorctl";

struct CtlRun {
    int status = -1;
    std::vector<std::string> out;
    std::vector<std::string> err;

    bool OutHas(const std::string& text) const {
        return std::any_of(out.begin(), out.end(),
                           [&](const std::string& line) { return line.find(text) != line.npos; });
    }
};

CtlRun Ctl(std::uint16_t port, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{kCtlBinary, "--port", std::to_string(port)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess process;
    test::ProcessOptions options;
    options.captureStderr = true;
    CtlRun run;
    if (!process.Start(argv, options)) return run;
    // Every wait of brinmoorctl is bounded by its 10-s time-out.
    while (auto line = process.ReadLine(30s)) run.out.push_back(*line);
    while (auto line = process.ReadErrLine(5s)) run.err.push_back(*line);
    run.status = process.Wait(30s).value_or(-1);
    return run;
}

std::string Dump(const CtlRun& run) {
    std::string text = "status " + std::to_string(run.status) + "\n";
    for (const auto& line : run.out) text += "out: " + line + "\n";
    for (const auto& line : run.err) text += "err: " + line + "\n";
    return text;
}

// What only the real binaries show: brinmoorctl's commands reach the server
// and the radio, and its exit codes say how they went.
class BrinmoorctlTest : public test::StationTest {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartStation({}, {}, false)); }
    CtlRun Ctl(const std::vector<std::string>& arguments) {
        return brinmoor::Ctl(server.Port(), arguments);
    }
};

TEST_F(BrinmoorctlTest, ConfiguresAStationAndTalksToTheRadio) {
    PseudoTerminal logger;
    const std::string port = std::to_string(server.Port());
    CtlRun run = Ctl({"ports"});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_EQ(run.out, (std::vector<std::string>{"{", "  \"tcp_port\": " + port, "}"}));

    const std::string station = (server.Folder() / "station.json").string();
    std::ofstream(station) << "{\"ports\": {\"CAT\": {\"port\": \"" + radio.Path() +
                                  "\", \"baud\": 38400}}, \"ext_groups\": {\"1\": {\"name\": "
                                  "\"Logger\", \"cat\": {\"port\": \"" + logger.SlavePath() +
                                  "\"}}}}";
    run = Ctl({"cfg", station});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_TRUE(run.OutHas("CFG_OK")) << Dump(run);
    EXPECT_TRUE(run.err.empty()) << Dump(run);
    EXPECT_TRUE(server.WaitOut("[relay] CAT relay started for group 1 on " + logger.SlavePath()));
    run = Ctl({"cfg", station + ".missing"});
    EXPECT_EQ(run.status, 1) << Dump(run);
    run = Ctl({"frobnicate"});
    EXPECT_EQ(run.status, 2) << Dump(run);

    // A set command from brinmoorctl itself reaches the radio.
    run = Ctl({"cat", "fa", "FA00007074000", "FA", "ID;"});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_EQ(run.out, (std::vector<std::string>{"FA00014074000;",
                                                 "FA00007074000: sent, no reply (set command)",
                                                 "FA00007074000;", "ID019;"}));
    run = Ctl({"ag", "1"});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_TRUE(server.WaitOut("[relay] Active app set to 'Logger' (group 1)"));

    run = Ctl({"quit"});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_EQ(run.out, std::vector<std::string>{"QUIT_OK: the server is shutting down"});
    EXPECT_EQ(server.Wait(10s), 0);
    run = Ctl({"ports"});
    EXPECT_EQ(run.status, 3) << "no server to answer\n" << Dump(run);
}

}  // namespace
}  // namespace brinmoor
