// Who may connect to the real server: the --allow list and the client limit.
// A refused connection is closed at once, unread, with one line a minute per
// address; everyone else is served as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "procstats/proc_stats.h"
#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::ServerProcess;
using test::TcpClient;

long Count(const std::vector<std::string>& lines, const std::string& text) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.find(text) != line.npos; });
}

// Until the time is up: whether a new client gets its PORTS answered.
bool EventuallyServed(std::uint16_t port) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        TcpClient client(port);
        if (client.Ask("PORTS;", 2s).rfind("PORTS{", 0) == 0) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// A stranger outside --allow, and idle clients beyond --max-clients, are
// closed at once, unread, while the listener and the clients within the limit
// go on; once those go, new clients are served again. Threads and memory
// follow the limit, not the number of callers.
TEST(AccessTest, StrangersAndClientsBeyondTheLimitAreClosedUnread) {
    constexpr int kLimit = 16;
    ServerProcess server;
    ASSERT_TRUE(server.StartListening(
        {"--allow", "127.0.0.1", "--max-clients", std::to_string(kLimit)}));
    const ProcFigures start = ReadProcFigures(server.Process().Pid());
    ASSERT_TRUE(start.ok);
    for (int i = 0; i < 3; ++i) {
        TcpClient stranger(server.Port(), 5s, "127.0.0.2");
        ASSERT_TRUE(stranger.Connected());
        stranger.Send("PT1;QUIT;");
        EXPECT_TRUE(stranger.WaitClosed());
        EXPECT_EQ(stranger.ReadFor(0ms), "");
    }
    EXPECT_TRUE(server.WaitErr("[brinmoor] Connection from 127.0.0.2 refused (not in --allow)"));

    std::vector<std::unique_ptr<TcpClient>> idle;
    for (int i = 0; i < kLimit; ++i) {
        idle.push_back(std::make_unique<TcpClient>(server.Port()));
        ASSERT_EQ(idle.back()->Ask("PW;"), "PW000;");  // its session runs
    }
    for (int i = 0; i < 3 * kLimit; ++i) {
        TcpClient extra(server.Port());
        ASSERT_TRUE(extra.Connected());
        extra.Send(std::string(60000, 'x'));  // never read
        EXPECT_TRUE(extra.WaitClosed()) << i;
    }
    EXPECT_TRUE(server.WaitErr("[brinmoor] Connection from 127.0.0.1 refused (16 clients "
                               "connected, the --max-clients limit)"));
    EXPECT_EQ(idle.front()->Ask("PORTS;").rfind("PORTS{", 0), 0u) << "connected clients go on";

    const ProcFigures full = ReadProcFigures(server.Process().Pid());
    ASSERT_TRUE(full.ok);
    EXPECT_LE(full.threads, start.threads + kLimit);
    // Sanitizer builds pay more for each thread, hence the generous bound.
    EXPECT_LT(full.rssKb - start.rssKb, 2048L * kLimit);

    idle.clear();
    EXPECT_TRUE(EventuallyServed(server.Port()));
    TcpClient last(server.Port());
    EXPECT_EQ(last.Ask("QUIT;"), "QUIT_OK;");
    EXPECT_EQ(server.Wait(), 0) << "the stranger's QUIT was never read";
    server.DrainOutput();
    // Once a minute per address and reason.
    EXPECT_EQ(Count(server.ErrLines(), "refused (not in --allow)"), 1);
    EXPECT_EQ(Count(server.ErrLines(), "--max-clients limit"), 1);
}

}  // namespace
}  // namespace brinmoor
