// brinmoorctl against the real server, with the radio simulator on the CAT
// port and pseudo-terminals playing the external programs of two app groups.
// Its failures and exit codes are tested against a stand-in server (tests/ctl).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/posix/process.h"
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

    bool OutHas(const std::string& text) const { return Has(out, text); }
    bool ErrHas(const std::string& text) const { return Has(err, text); }
    static bool Has(const std::vector<std::string>& lines, const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
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
    std::string text = "status " + std::to_string(run.status) + "\nout:\n";
    for (const auto& line : run.out) text += "  " + line + "\n";
    text += "err:\n";
    for (const auto& line : run.err) text += "  " + line + "\n";
    return text;
}

class BrinmoorctlTest : public test::StationTest {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartStation({}, {}, false)); }

    std::string WriteDocument(const std::string& name, const std::string& text) {
        const std::string path = (server.Folder() / name).string();
        std::ofstream(path) << text;
        return path;
    }

    CtlRun Ctl(const std::vector<std::string>& arguments) {
        return brinmoor::Ctl(server.Port(), arguments);
    }

    // Runs brinmoorctl until its first output line is the wanted one.
    bool EventuallyPrints(const std::vector<std::string>& arguments, const std::string& wanted) {
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        CtlRun run;
        while (std::chrono::steady_clock::now() < deadline) {
            run = Ctl(arguments);
            if (!run.out.empty() && run.out.front() == wanted) return true;
            std::this_thread::sleep_for(100ms);
        }
        ADD_FAILURE() << "never printed " << wanted << "\n" << Dump(run);
        return false;
    }
};

TEST_F(BrinmoorctlTest, ConfiguresAStationWithTwoAppGroupsAndTalksToTheRadio) {
    PseudoTerminal logger;
    PseudoTerminal digital;
    ASSERT_TRUE(logger.IsOpen() && digital.IsOpen());
    const std::string port = std::to_string(server.Port());

    CtlRun run = Ctl({"ports"});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_EQ(run.out, (std::vector<std::string>{"{", "  \"tcp_port\": " + port, "}"}));

    const std::string station = WriteDocument("station.json", R"({
  "ports": {
    "CAT": {"port": ")" + radio.Path() + R"(", "baud": 38400, "parity": "none"}
  },
  "ext_groups": {
    "1": {"name": "Logger", "cat": {"port": ")" + logger.SlavePath() +
                                                                  R"(", "baud": 9600}},
    "2": {"name": "Digital modes", "cat": {"port": ")" + digital.SlavePath() +
                                                                  R"("}}
  }
}
)");
    run = Ctl({"cfg", station});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_TRUE(run.OutHas("CFG_OK")) << Dump(run);
    EXPECT_TRUE(run.err.empty()) << Dump(run);
    EXPECT_TRUE(server.WaitOut("[brinmoor] CAT port " + radio.Path() + " opened. Radio ID: ID019"));
    EXPECT_TRUE(server.WaitOut("[relay] CAT relay started for group 1 on " + logger.SlavePath()));
    EXPECT_TRUE(server.WaitOut("[relay] CAT relay started for group 2 on " + digital.SlavePath()));

    run = Ctl({"ports"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.OutHas("  \"com\": \"" + radio.Path() + "\",")) << Dump(run);
    EXPECT_TRUE(run.OutHas("  \"stopbits\": \"1\"")) << Dump(run);

    run = Ctl({"cat", "fa", "ID;"});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_EQ(run.out, (std::vector<std::string>{"FA00014074000;", "ID019;"}));

    // The digital-mode program becomes the active app: its set commands reach
    // the radio, the logger's do not.
    run = Ctl({"ag", "2"});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_TRUE(server.WaitOut("[relay] Active app set to 'Digital modes' (group 2)"));
    ASSERT_TRUE(digital.Write("FA00007074000;"));
    EXPECT_TRUE(EventuallyPrints({"cat", "FA"}, "FA00007074000;"));
    ASSERT_TRUE(logger.Write("FA00021074000;FA;"));
    EXPECT_TRUE(logger.WaitFor("FA00007074000;", 10s)) << logger.TakeReceived();

    // A set command from brinmoorctl itself reaches the radio; pw reads the
    // setting once the radio has been asked for it.
    run = Ctl({"cat", "FA00014074000", "FA", "PC"});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_EQ(run.out, (std::vector<std::string>{"FA00014074000: sent, no reply (set command)",
                                                 "FA00014074000;", "PC100;"}));
    EXPECT_TRUE(EventuallyPrints({"pw"}, "receiving, set 100 W"));

    run = Ctl({"quit"});
    EXPECT_EQ(run.status, 0) << Dump(run);
    EXPECT_EQ(run.out, std::vector<std::string>{"QUIT_OK: the server is shutting down"});
    EXPECT_EQ(server.Wait(10s), 0);
}

}  // namespace
}  // namespace brinmoor
