#include "support/posix/station.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace brinmoor::test {

using Clock = std::chrono::steady_clock;

StationTest::~StationTest() {
    if (control && server.Process().Running()) {
        control->Send("QUIT;");
        server.Wait(milliseconds(10000));
    }
    if (radioHold >= 0) ::close(radioHold);
}

void StationTest::StartStation(const std::vector<std::string>& radioOptions,
                               const std::vector<std::string>& serverOptions, bool configure,
                               const std::string& device) {
    radioPath = device;
    if (radioPath.empty()) {
        ASSERT_TRUE(radio.Start(radioOptions));
        radioPath = radio.Path();
        radioHold = ::open(radioPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ASSERT_TRUE(server.StartListening(serverOptions));
    control = std::make_unique<TcpClient>(server.Port());
    ASSERT_TRUE(control->Connected());
    if (configure) {
        ASSERT_EQ(control->Ask(CatCfg(radioPath), milliseconds(15000)), "CFG_OK;");
        ASSERT_TRUE(server.WaitOut("Radio ID: ID019", milliseconds(10000)));
    }
    start = ReadProcFigures(Pid());
    ASSERT_TRUE(start.ok);
}

void StationTest::ExpectServed(const std::string& fa) {
    TcpClient fresh(server.Port());
    ASSERT_TRUE(fresh.Connected());
    EXPECT_EQ(fresh.Ask("FA;", milliseconds(15000)), fa);
    EXPECT_EQ(fresh.Ask("PORTS;").rfind("PORTS{\"tcp_port\"", 0), 0u);
}

void StationTest::ExpectNoSpin(const char* what, milliseconds window) {
    const double share = CpuShareOver(Pid(), window);
    std::printf("[   info   ] %s: server CPU %.0f %% of one core\n", what, share * 100.0);
    ASSERT_GE(share, 0.0) << "no CPU figures for the server";
    EXPECT_LT(share, 0.30) << what;
}

void StationTest::ExpectMemoryBounded(const char* what) {
    const ProcFigures now = ReadProcFigures(Pid());
    ASSERT_TRUE(now.ok);
    const long limitKb = std::max(64L * 1024, 3 * start.rssKb) + 2048L * now.threads;
    std::printf("[   info   ] %s: server RSS %ld kB (%ld kB at start), %d threads\n", what,
                now.rssKb, start.rssKb, now.threads);
    EXPECT_LT(now.rssKb - start.rssKb, limitKb) << what;
}

void StationTest::QuitAndExpectPromptExit() {
    server.DrainOutput(milliseconds(10));
    const auto sent = Clock::now();
    EXPECT_EQ(control->Ask("QUIT;"), "QUIT_OK;");
    EXPECT_EQ(server.Wait(milliseconds(15000)), 0);
    // QUIT is noticed within a second; the margin is for a loaded machine.
    EXPECT_LT(Clock::now() - sent, milliseconds(3000));
}

}  // namespace brinmoor::test
