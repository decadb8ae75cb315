// Sessions in process over loopback sockets: the registry that shutdown
// relies on, a session thread that cannot start, and the pending bound.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "config/status_reply.h"
#include "platform/termination.h"
#include "server/client_session.h"
#include "server/server.h"
#include "server/session_registry.h"
#include "server_test_support.h"
#include "support/sim_serial_device.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using servertest::ConnectPair;
using servertest::LogCapture;
using servertest::LoopbackListener;
using servertest::ReceiveUntil;
using servertest::ScratchFolder;
using servertest::SeesClosed;
using servertest::SocketsStarted;

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        state.statusReply = BuildStatusJson(4532, "", 0, "", "", "");
    }
    void TearDown() override {
        state.sessions.ShutdownAll();
        state.sessions.JoinAll();
    }

    SocketsStarted sockets;
    LogCapture log;
    LoopbackListener listener;
    ServerState state;
};

TEST_F(SessionTest, RegistryClosesTheSocketWhenTheBodyEnds) {
    SessionRegistry registry;
    auto [client, server] = ConnectPair(listener);
    std::atomic<bool> ran{false};
    ASSERT_TRUE(registry.Launch(server, [&] { ran.store(true); }));
    EXPECT_TRUE(SeesClosed(client));
    EXPECT_TRUE(ran.load());
    registry.ReapFinished();
    EXPECT_EQ(registry.LiveCount(), 0u);
    CloseSocket(client);
}

TEST_F(SessionTest, ShutdownEndsEverySessionAndRefusesNewOnes) {
    std::vector<SocketHandle> clients;
    for (int i = 0; i < 3; ++i) {
        auto [client, server] = ConnectPair(listener);
        clients.push_back(client);
        ASSERT_TRUE(StartClientSession(state, server));
    }
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
    auto [client, server] = ConnectPair(listener);
    EXPECT_FALSE(state.sessions.Launch(server, [] {}));
    CloseSocket(server);
    CloseSocket(client);
}

TEST_F(SessionTest, SessionThatCannotStartIsClosedAndReported) {
    state.sessions.SetThreadStarter([](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    auto [refused, server] = ConnectPair(listener);
    EXPECT_FALSE(StartClientSession(state, server));
    EXPECT_TRUE(SeesClosed(refused));
    EXPECT_EQ(log.Err(), std::vector<std::string>{
                             "[brinmoor] Could not start a session for a new client \xE2\x80\x94 "
                             "connection closed.\n"});
    CloseSocket(refused);

    // The next connection is served as usual.
    state.sessions.SetThreadStarter(
        [](std::function<void()> body) { return std::thread(std::move(body)); });
    auto [client, accepted] = ConnectPair(listener);
    EXPECT_TRUE(StartClientSession(state, accepted));
    SendAll(client, "PORTS;");
    EXPECT_EQ(ReceiveUntil(client, ";"), "PORTS{\"tcp_port\":4532};");
    CloseSocket(client);
}

TEST_F(SessionTest, FramingAcrossPackets) {
    auto [client, server] = ConnectPair(listener);
    ASSERT_TRUE(StartClientSession(state, server));
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[brinmoor] Client connected.\n"));
    SendAll(client, "FA;;;;PO");
    EXPECT_EQ(ReceiveUntil(client, "ERRFA;"), "ERRFA;");
    SendAll(client, "RTS;\nPORTS;PW;");
    // The line feed belongs to the next frame, which is no control command.
    EXPECT_EQ(ReceiveUntil(client, "PW000;"), "PORTS{\"tcp_port\":4532};PW000;");
    SendAll(client, "QUIT;PORTS;");
    EXPECT_EQ(ReceiveUntil(client, "never", 1s), "QUIT_OK;");
    EXPECT_TRUE(state.quit.load());
    EXPECT_TRUE(log.WaitFor(LogStream::Out, "[brinmoor] Client disconnected.\n"));
    CloseSocket(client);
}

TEST_F(SessionTest, ClientWithoutSemicolonsIsCutOffAtTheBound) {
    auto [client, server] = ConnectPair(listener);
    auto [other, otherServer] = ConnectPair(listener);
    ASSERT_TRUE(StartClientSession(state, server));
    ASSERT_TRUE(StartClientSession(state, otherServer));

    const std::string chunk(1000, 'x');
    std::size_t sent = 0;
    while (sent + chunk.size() < kMaxPendingBytes) {
        SendAll(client, chunk);
        sent += chunk.size();
    }
    // Just under the bound the client is still served.
    SendAll(other, "PW;");
    EXPECT_EQ(ReceiveUntil(other, ";"), "PW000;");
    EXPECT_TRUE(log.Err().empty());
    SendAll(client, chunk);
    EXPECT_TRUE(SeesClosed(client));
    EXPECT_TRUE(log.WaitFor(LogStream::Err,
                            "[brinmoor] Client sent 65536 bytes without ';' \xE2\x80\x94 "
                            "disconnected.\n"));
    // Others go on.
    SendAll(other, "PW;");
    EXPECT_EQ(ReceiveUntil(other, ";"), "PW000;");
    CloseSocket(client);
    CloseSocket(other);
}

TEST_F(SessionTest, AClientThatGoesAwayReleasesTheLinesItKeyedLast) {
    servertest::InstallKeyingLines(state, "COM4");
    auto [first, firstServer] = ConnectPair(listener);
    auto [second, secondServer] = ConnectPair(listener);
    ASSERT_TRUE(StartClientSession(state, firstServer));
    ASSERT_TRUE(StartClientSession(state, secondServer));

    // The first keys both lines; the second keys CW after it (PW shows when
    // its frames are done).
    SendAll(first, "PT1;CK1;PW;");
    EXPECT_EQ(ReceiveUntil(first, ";"), "PW000;");
    SendAll(second, "CK1;PW;");
    EXPECT_EQ(ReceiveUntil(second, ";"), "PW000;");
    EXPECT_TRUE(sim::Dtr("COM4") && sim::Rts("COM4"));

    // The first client's connection breaks: its PTT drops, the CW key that
    // the second client keyed last stays down until that one goes too.
    CloseSocket(first);
    EXPECT_TRUE(log.WaitFor(LogStream::Out,
                            "[brinmoor] PTT released: its client disconnected without PT0.\n"));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (state.sessions.LiveCount() > 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(state.sessions.LiveCount(), 1u) << "the first session has ended";
    EXPECT_FALSE(sim::Dtr("COM4"));
    EXPECT_TRUE(sim::Rts("COM4"));
    CloseSocket(second);
    EXPECT_TRUE(log.WaitFor(LogStream::Out,
                            "[brinmoor] CW key released: its client disconnected without CK0.\n"));
    EXPECT_FALSE(sim::Rts("COM4"));
    EXPECT_EQ(log.Count(LogStream::Out,
                        "[brinmoor] PTT released: its client disconnected without PT0.\n"),
              1);
    CloseLocalPorts(state);
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
    {
        SocketsStarted sockets;
        LoopbackListener free;  // a port nobody uses, for the server to take
        options.tcpPort = free.port;
    }
    int exitCode = -1;
    std::thread server([&] { exitCode = RunServer(options); });

    SocketsStarted sockets;
    SocketHandle client = kInvalidSocket;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (client == kInvalidSocket && std::chrono::steady_clock::now() < deadline) {
        client = CreateTcpSocket();
        if (ConnectSocket(client, "127.0.0.1", static_cast<std::uint16_t>(options.tcpPort))) break;
        CloseSocket(client);
        client = kInvalidSocket;
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_NE(client, kInvalidSocket);
    SendAll(client, "CFG{\"ports\": {\"PTT\": {\"port\": \"COM4\"}}};PT1;");
    EXPECT_EQ(ReceiveUntil(client, ";"), "CFG_OK;");
    EXPECT_TRUE(sim::WaitForDtr("COM4", true, 5s));
    EXPECT_TRUE(log.WaitFor(LogStream::Out,
                            "[brinmoor] PTT released: keyed longer than 1 s (--tx-timeout).\n"));
    EXPECT_FALSE(sim::Dtr("COM4"));

    SendAll(client, "PT1;PW;");
    EXPECT_EQ(ReceiveUntil(client, ";"), "PW000;");
    EXPECT_TRUE(sim::Dtr("COM4"));
    NoteTerminationRequest(15);
    server.join();
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(sim::Dtr("COM4"));
    EXPECT_FALSE(sim::IsHeld("COM4"));
    EXPECT_EQ(log.Count(LogStream::Out, "[brinmoor] " + TerminationReasonName(15) + " received.\n"),
              1);
    EXPECT_EQ(log.Count(LogStream::Out, "[brinmoor] Shutting down.\n"), 1);
    EXPECT_TRUE(SeesClosed(client));
    EXPECT_EQ(TerminationRequested(), 0) << "served, so the next run starts afresh";
    CloseSocket(client);
}

}  // namespace
}  // namespace brinmoor
