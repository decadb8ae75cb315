// Client faults against the real server: floods without ";", clients that
// vanish mid-reply or stop reading, a burst of connections to a server that
// accepts slowly, and odd CFG documents. The server keeps
// serving the others, stays bounded and ends with exit code 0 soon after QUIT.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/posix/pty.h"
#include "support/posix/station.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::kFrequency;
using test::TcpClient;

using FaultClientTest = test::StationTest;

// A client under the bound is merely waiting for its ";"; clients sending a
// megabyte without one are cut off at the bound and told so on standard error.
TEST_F(FaultClientTest, ClientsSendingAMegabyteWithoutSemicolonAreCutOff) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    const std::string chunk(4096, 'x');
    TcpClient waiting(server.Port());
    for (int i = 0; i < 15; ++i) ASSERT_TRUE(waiting.Send(chunk));
    EXPECT_EQ(control->Ask("FA;"), kFrequency);
    EXPECT_FALSE(waiting.WaitClosed(300ms)) << "cut off below the bound";

    constexpr int kFlooders = 4;
    std::atomic<int> cutOff{0};
    std::vector<std::thread> flooders;
    for (int c = 0; c < kFlooders; ++c) {
        flooders.emplace_back([&] {
            TcpClient flood(server.Port());
            const std::string big(64 * 1024, 'x');
            for (int i = 0; i < 16 && flood.Send(big); ++i) {
            }
            if (flood.WaitClosed()) ++cutOff;
        });
    }
    for (auto& thread : flooders) thread.join();
    EXPECT_EQ(cutOff.load(), kFlooders);
    for (int c = 0; c < kFlooders; ++c) {
        EXPECT_TRUE(server.WaitErr(
            "[brinmoor] Client sent 65536 bytes without ';' \xE2\x80\x94 disconnected."))
            << "flooder " << c;
    }
    ASSERT_NO_FATAL_FAILURE(ExpectServed());
    ExpectNoSpin("after the floods", 1s);
    ExpectMemoryBounded("after the floods");
    QuitAndExpectPromptExit();
}

// Clients that vanish in the middle of their replies (reset, nothing read),
// and one that stops reading: the server serves everyone else meanwhile, and
// every one of those sessions ends, leaving no thread behind.
TEST_F(FaultClientTest, ClientsVanishingMidReplyLeaveNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    std::string burst;
    for (int i = 0; i < 60; ++i) burst += "PORTS;FA;ID;";
    for (int c = 0; c < 20; ++c) {
        TcpClient gone(server.Port());
        ASSERT_TRUE(gone.Connected());
        gone.Send(burst);
        gone.ReadUntil(";");  // some replies are on their way
        gone.Vanish();
    }
    // Asks for far more than the socket buffers hold and never reads: its
    // session blocks in sending; nobody else's does.
    TcpClient stalled(server.Port());
    std::string many;
    for (int i = 0; i < 20000; ++i) many += "PORTS;";
    stalled.Send(many);
    ASSERT_NO_FATAL_FAILURE(ExpectServed());
    stalled.Vanish();

    const auto deadline = Clock::now() + 20s;
    ProcFigures now = ReadProcFigures(Pid());
    while (now.threads > start.threads && Clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
        server.DrainOutput(1ms);
        now = ReadProcFigures(Pid());
    }
    EXPECT_LE(now.threads, start.threads) << "session threads left behind";
    ExpectNoSpin("after the vanished clients", 1s);
    QuitAndExpectPromptExit();
}

// A burst of connections while the server accepts them only slowly (stopped
// and continued every few milliseconds): every client is served and no first
// bytes are lost. With a short listen queue the system sheds the overflow with
// SYN cookies, and such a connection can lose the client's first segment.
TEST_F(FaultClientTest, ConnectionBurstToASlowServerLosesNoBytes) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    constexpr int kClients = 200;
    std::atomic<bool> burstOver{false};
    std::thread stutter([&] {
        while (!burstOver.load()) {
            server.Process().Signal(SIGSTOP);
            std::this_thread::sleep_for(20ms);
            server.Process().Signal(SIGCONT);
            std::this_thread::sleep_for(2ms);
        }
        server.Process().Signal(SIGCONT);
    });
    std::vector<std::string> replies(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            TcpClient own(server.Port(), 30s);
            std::string& got = replies[static_cast<std::size_t>(c)];
            if (own.Connected() && own.Send("ID;FA;")) got = own.ReadUntil(kFrequency, 30s);
        });
    }
    for (auto& thread : clients) thread.join();
    burstOver = true;
    stutter.join();
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(replies[static_cast<std::size_t>(c)], "ID019;" + kFrequency) << "client " << c;
    }
    ExpectMemoryBounded("after the burst");
    QuitAndExpectPromptExit();
}

// Odd CFG documents in a row (valid, cut short, refused, deep, huge, not
// JSON at all), each opening and closing real ports: each is answered
// "CFG_OK;"; afterwards a valid one puts the radio back (in the saved file
// too) and the server serves. The session fuzzer tries random ones in process.
TEST_F(FaultClientTest, OddCfgDocumentsInARowAreEachAnswered) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    test::PseudoTerminal groupPort;
    const std::string cat = "{\"ports\": {\"CAT\": {\"port\": \"" + radioPath + "\"";
    const std::string valid = cat + "}}, \"ext_groups\": {\"1\": {\"name\": \"a\\\"b\\u00e9\", " +
                              "\"cat\": {\"port\": \"" + groupPort.SlavePath() + "\"}}}}";
    std::string bytes;
    for (int byte = 1; byte < 256; ++byte) bytes += static_cast<char>(byte == ';' ? ',' : byte);
    const std::string documents[] = {
        valid,
        valid.substr(0, valid.size() / 2),
        cat + ", \"baud\": 1e300}}}",
        cat + ", \"baud\": \"9600\", \"parity\": \"Q\", \"stopbits\": -7}}}",
        "{\"ports\": {\"PTT\": {\"port\": \"/nonexistent/ttyBM0\"}, \"CAT\": {\"port\": null}}, "
        "\"ext_groups\": {\"-1\": {\"ptt\": {\"port\": 3}}, \"2x\": {}}}",
        std::string(200, '{'),
        "{\"ports\": " + std::string(70, '[') + "}",
        cat + std::string(20000, 'p') + "\"}}}",
        "\"\\ud800\\u0000\\uzzzz\"",
        bytes,
        "  \t\r\n ",
    };
    for (int round = 0; round < 8; ++round) {
        for (const std::string& document : documents) {
            ASSERT_EQ(control->Ask("CFG" + document + ";", 15s), "CFG_OK;") << document;
            server.DrainOutput(1ms);  // so that the server's output never blocks it
        }
    }
    server.DrainOutput(10ms);
    auto printed = [&](const char* text) {
        return std::count_if(server.OutLines().begin(), server.OutLines().end(),
                             [&](const std::string& line) { return line.find(text) != line.npos; });
    };
    EXPECT_GE(printed("[config] Bad CFG JSON"), 8 * 4);
    EXPECT_GE(printed("Radio ID: ID019"), 8);
    EXPECT_GE(printed("relay started"), 8);

    ASSERT_EQ(control->Ask(test::CatCfg(radioPath), 15s), "CFG_OK;");
    ASSERT_NO_FATAL_FAILURE(ExpectServed());
    EXPECT_NE(test::ReadWholeFile(server.SavedFile()).find(radioPath), std::string::npos);
    ExpectNoSpin("after the CFG documents", 1s);
    ExpectMemoryBounded("after the CFG documents");
    QuitAndExpectPromptExit();
}

}  // namespace
}  // namespace brinmoor
