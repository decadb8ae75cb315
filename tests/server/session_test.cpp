// Sessions in process over loopback sockets: framing, the pending bound, the
// keying a client leaves behind or holds too long, and the shutdown that
// ends them all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/control_commands.h"
#include "server_test_support.h"

namespace brinmoor {
namespace {

using servertest::Ask;
using servertest::SeesClosed;
using sim::WaitUntil;
using namespace std::chrono_literals;
using SessionTest = servertest::ServerFixture;

TEST_F(SessionTest, FramesAreCutAtSemicolonsAndQuitEndsEverySession) {
    const SocketHandle clients[] = {Connect(), Connect(), Connect()};
    const SocketHandle client = clients[0];
    SendAll(clients[1], "PARTIAL");
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[brinmoor] Client connected.\n"));
    EXPECT_EQ(Ask(client, "FA;;;;PO"), "ERRFA;");
    // The line feed belongs to the next frame, which is no control command.
    EXPECT_EQ(Ask(client, "RTS;\nPORTS;PW;", "PW000;"), "PORTS{\"tcp_port\":4532};PW000;");
    // Nothing after QUIT is handled: the session ends.
    EXPECT_EQ(Ask(client, "QUIT;PORTS;", "never"), "QUIT_OK;");
    EXPECT_TRUE(state.quit.load());
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[brinmoor] Client disconnected.\n"));
    // Then the listener ends every other session and starts no new one.
    state.sessions.ShutdownAll();
    state.sessions.JoinAll();
    EXPECT_EQ(state.sessions.LiveCount(), 0u);
    for (SocketHandle c : clients) {
        EXPECT_TRUE(SeesClosed(c));
        CloseSocket(c);
    }
    auto [late, server] = listener.ConnectPair();
    EXPECT_FALSE(state.sessions.Launch(server, [] {}));
    CloseSocket(server);
    CloseSocket(late);
}

TEST_F(SessionTest, ClientWithoutSemicolonsIsCutOffAtTheBoundOthersGoOn) {
    const SocketHandle client = Connect();
    const SocketHandle other = Connect();
    SendAll(client, std::string(kMaxPendingBytes - 1, 'x'));
    // Just under the bound the client is still served.
    EXPECT_EQ(Ask(other, "PW;"), "PW000;");
    EXPECT_TRUE(log.Err().empty());
    SendAll(client, "x");
    EXPECT_TRUE(SeesClosed(client));
    EXPECT_TRUE(log.WaitFor(LogStream::Err,
                            "[brinmoor] Client sent 65536 bytes without ';' \xE2\x80\x94 "
                            "disconnected.\n"));
    EXPECT_EQ(Ask(other, "PW;"), "PW000;");
    CloseSocket(client);
    CloseSocket(other);
}

TEST_F(SessionTest, AClientThatGoesAwayReleasesTheLinesItKeyedLast) {
    const std::string pttReleased =
        "[brinmoor] PTT released: its client disconnected without PT0.\n";
    InstallKeyingLines("COM4");
    const SocketHandle first = Connect();
    const SocketHandle second = Connect();
    // The first keys both lines, the second CW after it (PW shows when its
    // frames are done).
    EXPECT_EQ(Ask(first, "PT1;CK1;PW;"), "PW000;");
    EXPECT_EQ(Ask(second, "CK1;PW;"), "PW000;");
    EXPECT_TRUE(sim::Dtr("COM4") && sim::Rts("COM4"));

    // The first client's connection breaks: its PTT drops, the CW key that
    // the second client keyed last stays down until that one goes too.
    CloseSocket(first);
    EXPECT_TRUE(log.WaitFor(LogStream::Out, pttReleased));
    ASSERT_TRUE(WaitUntil([&] { return state.sessions.LiveCount() == 1; }, 5s));
    EXPECT_FALSE(sim::Dtr("COM4"));
    EXPECT_TRUE(sim::Rts("COM4"));
    CloseSocket(second);
    EXPECT_TRUE(log.WaitFor(LogStream::Out,
                            "[brinmoor] CW key released: its client disconnected without CK0.\n"));
    EXPECT_FALSE(sim::Rts("COM4"));
    EXPECT_EQ(log.Count(LogStream::Out, pttReleased), 1);
}

// PTT and CW on the same line of one cable, keyed by two clients.
TEST_F(SessionTest, ALineTwoClientsKeyDropsOnlyWhenNeitherHoldsIt) {
    InstallKeyingLines("COM4", "DTR");
    const SocketHandle first = Connect();
    const SocketHandle second = Connect();
    EXPECT_EQ(Ask(first, "PT1;PW;"), "PW000;");
    EXPECT_EQ(Ask(second, "CK1;PW;"), "PW000;");
    // The first connection fails (a reset here; a dead peer's keep-alive
    // time-out ends it the same way): its PTT is released, the line stays up.
    CloseSocketAtOnce(first);
    EXPECT_TRUE(log.WaitFor(LogStream::Out,
                            "[brinmoor] PTT released: its client disconnected without PT0.\n"));
    ASSERT_TRUE(WaitUntil([&] { return state.sessions.LiveCount() == 1; }, 5s));
    EXPECT_TRUE(sim::Dtr("COM4"));
    CloseSocket(second);
    EXPECT_TRUE(log.WaitFor(LogStream::Out,
                            "[brinmoor] CW key released: its client disconnected without CK0.\n"));
    EXPECT_FALSE(sim::Dtr("COM4"));
}

// The listener checks the transmit time-out between connections.
TEST_F(SessionTest, TheTxTimeoutReleasesALineKeyedTooLong) {
    InstallKeyingLines("COM4");
    state.txTimeout = 1s;
    Send("PT1");
    ReleaseOverdueKeying(state);
    EXPECT_TRUE(sim::Dtr("COM4")) << "released too early";
    EXPECT_TRUE(WaitUntil([&] { return ReleaseOverdueKeying(state), !sim::Dtr("COM4"); }, 5s));
    EXPECT_EQ(log.Out(), std::vector<std::string>{
                             "[brinmoor] PTT released: keyed longer than 1 s (--tx-timeout).\n"});
}

}  // namespace
}  // namespace brinmoor
