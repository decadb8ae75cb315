// Sessions in process over loopback sockets: the registry that shutdown
// relies on, a session thread that cannot start, and the pending bound.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "config/status_reply.h"
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

}  // namespace
}  // namespace brinmoor
