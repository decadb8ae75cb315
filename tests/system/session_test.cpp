// Client sessions of the real server: framing, ERR replies, set commands,
// several clients at once, and the bound on bytes without ";".
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::CatCfg;
using test::RadioSim;
using test::ServerProcess;
using test::TcpClient;

class SessionSystemTest : public ::testing::Test {
  protected:
    // A server whose CAT port is on the simulator (which logs what it gets).
    void StartWithRadio(const std::vector<std::string>& radioOptions = {"--log"}) {
        ASSERT_TRUE(radio.Start(radioOptions));
        ASSERT_TRUE(server.StartListening());
        client = std::make_unique<TcpClient>(server.Port());
        ASSERT_TRUE(client->Connected());
        ASSERT_EQ(client->Ask(CatCfg(radio.Path())), "CFG_OK;");
        ASSERT_TRUE(server.WaitOut("Radio ID: ID019"));
    }

    void TearDown() override {
        if (!client || !client->Connected()) return;
        client->Send("QUIT;");
        EXPECT_EQ(server.Wait(), 0);
    }

    RadioSim radio;
    ServerProcess server;
    std::unique_ptr<TcpClient> client;
};

TEST_F(SessionSystemTest, TwoCommandsInOnePacketAreAnsweredInOrder) {
    ASSERT_NO_FATAL_FAILURE(StartWithRadio());
    client->Send("FA;IF;");
    std::string replies = client->ReadUntil(";", 3s);
    replies += client->ReadUntil(";", 3s);
    EXPECT_EQ(replies.rfind("FA00014074000;IF", 0), 0u) << replies;
}

TEST_F(SessionSystemTest, ACommandSplitOverTwoPacketsIsOneFrame) {
    ASSERT_NO_FATAL_FAILURE(StartWithRadio());
    client->Send("F");
    EXPECT_EQ(client->ReadFor(300ms), "");
    client->Send("A;");
    EXPECT_EQ(client->ReadUntil(";"), "FA00014074000;");
}

TEST_F(SessionSystemTest, EmptyFramesAndLineFeeds) {
    ASSERT_NO_FATAL_FAILURE(StartWithRadio());
    // ";;;" is no frame at all; nothing reaches the radio or the client.
    radio.LogLines(300ms);
    client->Send(";;;");
    EXPECT_EQ(client->ReadFor(400ms), "");
    // A line feed after a ";" starts the next frame: "\nPORTS" is no control
    // command, and "\nFA" is no query the radio answers through the server.
    client->Send("PORTS;\nPORTS;\nFA;PW;");
    std::string replies = client->ReadUntil("PW", 3s);
    replies += client->ReadUntil(";", 3s);
    EXPECT_EQ(replies.rfind("PORTS{", 0), 0u) << replies;
    EXPECT_EQ(replies.find("FA000"), std::string::npos) << replies;
    EXPECT_EQ(replies.substr(replies.size() - 7), "PW0000;") << replies;
    EXPECT_TRUE(radio.WaitLog("rx FA;", 2s)) << "the radio itself skips the line feed";
}

TEST_F(SessionSystemTest, QuitEndsTheSessionBeforeTheNextFrame) {
    ASSERT_NO_FATAL_FAILURE(StartWithRadio());
    radio.LogLines(700ms);
    client->Send("QUIT;FA;");
    EXPECT_EQ(client->ReadUntil("never", 3s), "QUIT_OK;");
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_TRUE(server.WaitOut("[brinmoor] Shutting down."));
    const auto totals = server.WaitOut("[brinmoor] CAT link: ");
    EXPECT_EQ(server.Wait(), 0);
    // The link's totals, last: every command the radio received.
    const auto received = radio.CommandCount();
    ASSERT_TRUE(totals && received);
    EXPECT_EQ(*totals, "[brinmoor] CAT link: " + std::to_string(*received) +
                           " commands written to the radio, 0 answers shared.");
    for (const std::string& line : radio.LogLines(300ms)) {
        EXPECT_EQ(line.find("rx FA;"), std::string::npos) << line;
    }
    client.reset();
}

TEST_F(SessionSystemTest, ErrRepliesAndUnansweredSetCommands) {
    ASSERT_TRUE(radio.Start());
    ASSERT_TRUE(server.StartListening());
    client = std::make_unique<TcpClient>(server.Port());
    // No CAT port: a query gets ERR, a set command nothing.
    EXPECT_EQ(client->Ask("FA;"), "ERRFA;");
    client->Send("FA00007074000;");
    EXPECT_EQ(client->ReadFor(300ms), "");
    // quit in lower case is a CAT command, not QUIT.
    client->Send("quit;");
    EXPECT_EQ(client->ReadFor(300ms), "");

    ASSERT_EQ(client->Ask(CatCfg(radio.Path())), "CFG_OK;");
    client->Send("FA00007074000;");
    EXPECT_EQ(client->ReadFor(400ms), "") << "a set command is never acknowledged";
    EXPECT_EQ(client->Ask("FA;"), "FA00007074000;");
    // The radio refuses an unknown query with "?;".
    EXPECT_EQ(client->Ask("BY;"), "ERRBY;");
    ASSERT_TRUE(radio.Control("question on"));
    EXPECT_EQ(client->Ask("FA;"), "ERRFA;");
    ASSERT_TRUE(radio.Control("question off"));
    ASSERT_TRUE(radio.Control("silent on"));
    EXPECT_EQ(client->Ask("FA;", 5s), "ERRFA;");
    ASSERT_TRUE(radio.Control("silent off"));
    EXPECT_EQ(client->Ask("FA;"), "FA00007074000;");
}

TEST_F(SessionSystemTest, ReportsOfTheRadioAreNotTakenAsAnswers) {
    ASSERT_NO_FATAL_FAILURE(StartWithRadio({"--auto-info", "20", "--auto-info-always"}));
    for (int i = 0; i < 15; ++i) {
        const std::string reply = client->Ask("MD;");
        ASSERT_EQ(reply.rfind("MD", 0), 0u) << reply;
    }
}

TEST_F(SessionSystemTest, SeveralClientsShareTheRadio) {
    ASSERT_NO_FATAL_FAILURE(StartWithRadio({}));
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([&, c] {
            TcpClient own(server.Port());
            for (int i = 0; i < 10; ++i) {
                const std::string question = (i + c) % 3 == 0 ? "ID;" : (i % 2 ? "FA;" : "PW;");
                const std::string reply = own.Ask(question);
                if (reply.rfind(question.substr(0, 2), 0) != 0) wrong.fetch_add(1);
            }
        });
    }
    for (auto& thread : clients) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(SessionSystemTest, ClientSendingNoSemicolonIsCutOff) {
    ASSERT_NO_FATAL_FAILURE(StartWithRadio({}));
    TcpClient flood(server.Port());
    const std::string chunk(4096, 'x');
    for (int i = 0; i < 15; ++i) ASSERT_TRUE(flood.Send(chunk));
    // Under the bound it is merely waiting for its ";".
    EXPECT_EQ(client->Ask("FA;"), "FA00014074000;");
    flood.Send(chunk);
    EXPECT_TRUE(flood.WaitClosed());
    EXPECT_TRUE(server.WaitErr(
        "[brinmoor] Client sent 65536 bytes without ';' \xE2\x80\x94 disconnected."));
    EXPECT_EQ(client->Ask("FA;"), "FA00014074000;");
}

}  // namespace
}  // namespace brinmoor
