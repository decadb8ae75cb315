// Several clients reconfigure, key and switch the active app of the real
// server at the same time while its relays carry traffic, and one of them
// ends the server in the middle of it. Built with ThreadSanitizer, the server
// reports every data race or lock-order inversion on its standard error;
// in every build it must answer throughout and end cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/posix/pty.h"
#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::PseudoTerminal;
using test::RadioSim;
using test::ServerProcess;
using test::TcpClient;

std::string Entry(const PseudoTerminal& pty, const std::string& more = "") {
    return "{\"port\": \"" + pty.SlavePath() + "\"" + more + "}";
}

TEST(RelayRaceTest, CfgPtCkAndAgFromSeveralClientsWhileRelaysRun) {
    RadioSim radio;
    ASSERT_TRUE(radio.Start());
    ServerProcess server;
    ASSERT_TRUE(server.StartListening());

    // The server's own ports, and the ports of a group's programs: PTT and
    // CW share one port, all five relay kinds run.
    PseudoTerminal keying, keyer, fskLine, cat, keyingOne, winkey, fsk;
    const std::string everything =
        "{\"ports\": {\"CAT\": {\"port\": \"" + radio.Path() + "\"}, \"PTT\": " + Entry(keying) +
        ", \"CW\": " + Entry(keying) + ", \"WinKey\": " + Entry(keyer) + ", \"FSK\": " +
        Entry(fskLine) + "}, \"ext_groups\": {\"1\": {\"cat\": " + Entry(cat) + ", \"ptt\": " +
        Entry(keyingOne) + ", \"cw\": " + Entry(keyingOne) + ", \"winkey\": " + Entry(winkey) +
        ", \"fsk\": " + Entry(fsk) + "}}}";
    // Everything; nothing (relays stopped); a bad key after a good group.
    const std::string documents[] = {everything, "{}",
                                     "{\"ext_groups\": {\"1\": {\"cat\": " + Entry(cat) +
                                         "}, \"x\": {}}}"};

    std::atomic<bool> stop{false};
    std::atomic<int> configured{0}, powerReplies{0}, catReplies{0};
    std::vector<std::thread> racers;
    const auto until = std::chrono::steady_clock::now() + 60s;  // in case the QUIT fails
    auto going = [&] { return !stop.load() && std::chrono::steady_clock::now() < until; };
    racers.emplace_back([&] {
        TcpClient client(server.Port());
        for (std::size_t i = 0; going() && client.Connected(); ++i) {
            if (client.Ask("CFG" + documents[i % 3] + ";", 30s) != "CFG_OK;") break;
            ++configured;
        }
    });
    racers.emplace_back([&] {
        TcpClient client(server.Port());
        const char* groups[] = {"AG1;", "AG;", "AG1;", "AG7;", "AG2;"};
        for (int i = 0; going() && client.Connected(); ++i) {
            if (client.Ask(groups[i % 5], 10s) != "AG_OK;") break;
            client.Send(i % 2 == 0 ? "PT1;CK1;" : "CK0;PT0;");
            if (client.Ask("PW;", 10s).rfind("PW", 0) != 0) break;
            ++powerReplies;
        }
    });
    racers.emplace_back([&] {
        TcpClient client(server.Port());
        while (going() && client.Connected()) {
            // Before the first CFG opens the CAT port the answer is ERRFA;.
            const std::string reply = client.Ask("FA;", 10s);
            if (reply.empty()) break;
            if (reply.rfind("FA", 0) == 0) ++catReplies;
        }
    });
    // The programs and the keyer: CAT commands, WinKey and FSK bytes.
    racers.emplace_back([&] {
        for (int i = 0; going(); ++i) {
            cat.Write(i % 3 == 0 ? "fa00014074000;" : "FA;");
            winkey.Write("\x02\x0a");
            keyer.Write("\xc0");
            fsk.Write("RY");
            for (PseudoTerminal* pty : {&cat, &winkey, &keyer, &fskLine}) {
                pty->ReadFor(5ms);
                pty->TakeReceived();
            }
        }
    });

    // Let them race, then end the server while they are still at it, reading
    // its output meanwhile so that a full pipe never holds it up.
    const auto raceEnd = std::chrono::steady_clock::now() + 4s;
    while (std::chrono::steady_clock::now() < raceEnd) server.DrainOutput(50ms);
    {
        TcpClient quitter(server.Port());  // no ASSERT before the racers are joined
        EXPECT_EQ(quitter.Ask("QUIT;", 30s), "QUIT_OK;");
    }
    const auto exitCode = server.Wait(60s);
    stop.store(true);
    for (std::thread& racer : racers) racer.join();

    EXPECT_EQ(exitCode, 0);
    EXPECT_GT(configured.load(), 0);
    EXPECT_GT(powerReplies.load(), 0);
    EXPECT_GT(catReplies.load(), 0);
    server.DrainOutput();
    for (const std::string& line : server.ErrLines()) ADD_FAILURE() << "stderr: " << line;
}

}  // namespace
}  // namespace brinmoor
