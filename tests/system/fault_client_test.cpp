// Client faults against the real server: floods without ";", clients that
// vanish mid-reply or stop reading, a burst of connections to a server that
// accepts slowly, random CFG documents, and QUIT under load. The server keeps
// serving the others, stays bounded and ends with exit code 0 soon after QUIT.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
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

// Random CFG documents (seeded): valid, cut short, garbage or odd shapes.
// Never holds ";" and is never empty.
class CfgDocuments {
  public:
    CfgDocuments(std::uint32_t seed, std::string radio, std::string group)
        : random(seed), radio(std::move(radio)), group(std::move(group)) {}

    std::string Next() {
        const int kind = Pick(10);
        std::string document = kind < 4 ? Valid() : kind < 6 ? Cut(Valid()) : kind < 8 ? Garbage()
                                                                                        : Odd();
        std::replace(document.begin(), document.end(), ';', ',');
        return document.empty() ? "{" : document;
    }

  private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }
    std::string OneOf(const std::vector<std::string>& choices) {
        return choices[static_cast<std::size_t>(Pick(static_cast<int>(choices.size())))];
    }
    std::string Cut(const std::string& whole) {
        return whole.substr(0, 1 + static_cast<std::size_t>(Pick(static_cast<int>(whole.size()))));
    }

    // Each member at random; the server's own ports never name the radio's
    // terminal (holding it there would keep the CAT port from reopening).
    std::string PortEntry(bool cat) {
        const std::vector<std::pair<std::string, std::vector<std::string>>> members = {
            {"port", cat ? std::vector<std::string>{"\"NONE\"", "\"\"", "5", "null",
                                                    "\"" + radio + "\"", "\"" + radio + "\""}
                         : std::vector<std::string>{"\"none\"", "\"/nonexistent/ttyBM0\"", "5"}},
            {"baud", {"38400", "\"9600\"", "1e12", "-1", "0", "4800.7", "1e300"}},
            {"bytesize", {"8", "7", "\"7\"", "100", "-3", "1e10"}},
            {"parity", {"\"N\"", "\"E\"", "\"odd\"", "\"space\"", "\"Q\"", "1"}},
            {"stopbits", {"1", "1.5", "2", "0", "\"x\"", "-7"}},
            {"flow", {"\"DTR\"", "\"RTS\"", "\"\"", "\"DSR\"", "7"}},
        };
        std::string entry;
        for (const auto& [key, values] : members) {
            if (Pick(key == "port" ? 8 : 3) == 0) continue;
            entry += (entry.empty() ? "\"" : ", \"") + key + "\": " + OneOf(values);
        }
        return "{" + entry + "}";
    }

    std::string Valid() {
        std::string document = "{\"ports\": {\"CAT\": " + PortEntry(true);
        for (int i = Pick(3); i > 0; --i)
            document += ", " + OneOf({"\"PTT\"", "\"CW\"", "\"WinKey\"", "\"FSK\""}) + ": " +
                        PortEntry(false);
        document += "}, \"ext_groups\": {";
        for (int i = Pick(4); i > 0; --i) {
            // Now and then a real port, so that relays start and are stopped again.
            const std::string port = Pick(40) == 0 ? "\"" + group + "\""
                                                   : OneOf({"\"/nonexistent/ttyG0\"", "3"});
            document += OneOf({"\"1\"", "\"2\"", "\"-1\"", "\"07\"", "\"2x\"", "\"99999999999\""}) +
                        ": {\"name\": " + OneOf({"\"Logger\"", "\"a\\\"b\\u00e9\\n\"", "42"}) +
                        ", " + OneOf({"\"cat\"", "\"ptt\"", "\"cw\"", "\"winkey\"", "\"fsk\""}) +
                        ": {\"port\": " + port + "}}" + (i > 1 ? ", " : "");
        }
        return document + "}}";
    }

    std::string Garbage() {
        std::string bytes(static_cast<std::size_t>(1 + Pick(300)), '\0');
        for (char& byte : bytes) byte = static_cast<char>(Pick(256));
        return bytes;
    }

    std::string Odd() {
        return OneOf({std::string(200, '{'), std::string(100, '['),
                      "{\"ports\": " + std::string(70, '[') + "}",
                      "{\"ports\": {\"CAT\": {\"port\": \"" + std::string(20000, 'p') + "\"}}}",
                      "\"\\ud800\\u0000\\uzzzz\"", "-" + std::string(400, '9') + "e99999",
                      "{\"a\": tru, \"b\": nul, \"c\": 1.2.3}", "  \t\r\n "});
    }

    std::mt19937 random;
    std::string radio;
    std::string group;
};

// Each random CFG document is answered "CFG_OK;" whatever it holds; afterwards
// a valid one puts the radio back (and in the saved file) and the server serves.
TEST_F(FaultClientTest, RandomCfgDocumentsAreEachAnswered) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    test::PseudoTerminal groupPort;
    constexpr std::uint32_t kSeed = 20240611;
    CfgDocuments documents(kSeed, radioPath, groupPort.SlavePath());
    for (int i = 0; i < 600; ++i) {
        const std::string document = documents.Next();
        ASSERT_EQ(control->Ask("CFG" + document + ";", 15s), "CFG_OK;")
            << "document " << i << " of seed " << kSeed;
        server.DrainOutput(1ms);  // so that the server's output never blocks it
    }
    server.DrainOutput(10ms);
    auto printed = [&](const char* text) {
        return std::count_if(server.OutLines().begin(), server.OutLines().end(),
                             [&](const std::string& line) { return line.find(text) != line.npos; });
    };
    EXPECT_GT(printed("[config] Bad CFG JSON"), 60);
    EXPECT_GT(printed("Radio ID: ID019"), 15);
    EXPECT_GT(printed("relay started"), 0);

    ASSERT_EQ(control->Ask(test::CatCfg(radioPath), 15s), "CFG_OK;");
    ASSERT_NO_FATAL_FAILURE(ExpectServed());
    EXPECT_NE(test::ReadWholeFile(server.SavedFile()).find(radioPath), std::string::npos);
    ExpectNoSpin("after the CFG documents", 1s);
    ExpectMemoryBounded("after the CFG documents");
    QuitAndExpectPromptExit();
}

// QUIT while 50 clients keep the server busy: exit code 0 at once, and every
// reply the clients got before the end was right.
TEST_F(FaultClientTest, QuitUnderFullLoadEndsTheServerAtOnce) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    std::atomic<int> answered{0}, wrong{0};
    std::vector<std::thread> clients;
    const std::vector<std::pair<std::string, std::string>> mix = {
        {"FA;", kFrequency}, {"ID;", "ID019;"}, {"PC;", "PC100;"}, {"PW;", "PW0"}};
    for (int c = 0; c < 50; ++c) {
        clients.emplace_back([&, c] {
            TcpClient own(server.Port(), 10s);
            for (std::size_t i = static_cast<std::size_t>(c);; ++i) {
                const auto& [query, expected] = mix[i % mix.size()];
                const std::string reply = own.Ask(query, 10s);
                if (reply.empty() || reply.back() != ';') break;  // the server has gone
                ++(reply.rfind(expected, 0) == 0 ? answered : wrong);
            }
        });
    }
    for (const auto until = Clock::now() + 20s; answered.load() < 200 && Clock::now() < until;)
        std::this_thread::sleep_for(10ms);
    ExpectMemoryBounded("under load");
    QuitAndExpectPromptExit();
    for (auto& thread : clients) thread.join();
    EXPECT_GE(answered.load(), 200);
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace brinmoor
