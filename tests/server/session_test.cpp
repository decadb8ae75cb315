// Sessions in process over loopback sockets: framing, the pending bound, the
// keying a client leaves behind, the shutdown that ends them all, and the
// whole server's end on a termination request.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/termination.h"
#include "server_test_support.h"

namespace brinmoor {
namespace {

using servertest::Ask;
using servertest::LogCapture;
using servertest::SeesClosed;
using sim::WaitUntil;
using namespace std::chrono_literals;
using SessionTest = servertest::ServerFixture;

TEST_F(SessionTest, FramesAreCutAtSemicolonsAcrossPackets) {
    const SocketHandle client = Connect();
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[brinmoor] Client connected.\n"));
    EXPECT_EQ(Ask(client, "FA;;;;PO"), "ERRFA;");
    // The line feed belongs to the next frame, which is no control command.
    EXPECT_EQ(Ask(client, "RTS;\nPORTS;PW;", "PW000;"), "PORTS{\"tcp_port\":4532};PW000;");
    // Nothing after QUIT is handled: the session ends.
    EXPECT_EQ(Ask(client, "QUIT;PORTS;", "never"), "QUIT_OK;");
    EXPECT_TRUE(state.quit.load());
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[brinmoor] Client disconnected.\n"));
    CloseSocket(client);
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

TEST_F(SessionTest, ShutdownEndsEverySessionAndRefusesNewOnes) {
    const SocketHandle clients[] = {Connect(), Connect(), Connect()};
    SendAll(clients[0], "PARTIAL");
    EXPECT_EQ(state.sessions.LiveCount(), 3u);
    // What the listener does after a QUIT.
    state.quit.store(true);
    state.sessions.ShutdownAll();
    state.sessions.JoinAll();
    EXPECT_EQ(state.sessions.LiveCount(), 0u);
    for (SocketHandle client : clients) {
        EXPECT_TRUE(SeesClosed(client));
        CloseSocket(client);
    }
    auto [client, server] = listener.ConnectPair();
    EXPECT_FALSE(state.sessions.Launch(server, [] {}));
    CloseSocket(server);
    CloseSocket(client);
}

// The whole server in this process: a termination request from the system
// (a signal, a Windows console event) ends it as QUIT does, and the transmit
// time-out releases a line held keyed too long.
TEST(ServerTermination, RequestShutsDownAsQuitAndTheTxTimeoutReleasesTheLine) {
    sim::Reset();
    sim::CreateDevice("COM4");
    servertest::ScratchFolder folder;
    LogCapture log;
    CommandLine options;
    options.bindAddress = "127.0.0.1";
    options.configPath = folder.File("brinmoor.json");
    options.txTimeoutSeconds = 1;
    options.tcpPort = servertest::LoopbackListener().port;  // a port nobody uses now
    int exitCode = -1;
    std::thread server([&] { exitCode = RunServer(options); });

    servertest::SocketsStarted sockets;
    SocketHandle client = kInvalidSocket;
    ASSERT_TRUE(WaitUntil(  // a fresh socket per attempt: a refused one is spent on Windows
        [&] {
            CloseSocket(client);
            client = CreateTcpSocket();
            return ConnectSocket(client, "127.0.0.1", static_cast<std::uint16_t>(options.tcpPort));
        },
        10s));
    EXPECT_EQ(Ask(client, "CFG{\"ports\": {\"PTT\": {\"port\": \"COM4\"}}};PT1;"), "CFG_OK;");
    EXPECT_TRUE(sim::WaitForDtr("COM4", true, 5s));
    EXPECT_TRUE(log.WaitFor(LogStream::Out,
                            "[brinmoor] PTT released: keyed longer than 1 s (--tx-timeout).\n"));
    EXPECT_FALSE(sim::Dtr("COM4"));

    EXPECT_EQ(Ask(client, "PT1;PW;"), "PW000;");
    EXPECT_TRUE(sim::Dtr("COM4"));
    NoteTerminationRequest(15);
    server.join();
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(sim::Dtr("COM4") || sim::IsHeld("COM4"));
    EXPECT_EQ(log.Count(LogStream::Out, "[brinmoor] Shutting down.\n"), 1);
    EXPECT_TRUE(SeesClosed(client));
    EXPECT_EQ(TerminationRequested(), 0) << "served, so the next run starts afresh";
    CloseSocket(client);
}

}  // namespace
}  // namespace brinmoor
