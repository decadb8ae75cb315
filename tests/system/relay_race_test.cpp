// Several clients reconfigure, key and switch the active app of the real
// server at the same time while its relays carry traffic, and one of them
// ends the server in the middle of it. Built with ThreadSanitizer, the server
// reports every data race or lock-order inversion on its standard error;
// in every build it must answer throughout and end cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/posix/pty.h"
#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
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

    // The server's own ports, and the ports of two groups' programs.
    PseudoTerminal keying, keyer, fskLine;
    PseudoTerminal catOne, catTwo, keyingOne, winkeyOne, winkeyTwo, fskOne, fskTwo;
    const std::string cat = "\"CAT\": {\"port\": \"" + radio.Path() + "\"}";
    const std::vector<std::string> documents = {
        // Everything: PTT and CW sharing one port, all five relay kinds.
        "{\"ports\": {" + cat + ", \"PTT\": " + Entry(keying) + ", \"CW\": " + Entry(keying) +
            ", \"WinKey\": " + Entry(keyer) + ", \"FSK\": " + Entry(fskLine) +
            "}, \"ext_groups\": {\"1\": {\"name\": \"One\", \"cat\": " + Entry(catOne) +
            ", \"ptt\": " + Entry(keyingOne) + ", \"cw\": " + Entry(keyingOne) +
            ", \"winkey\": " + Entry(winkeyOne) + ", \"fsk\": " + Entry(fskOne) +
            "}, \"2\": {\"name\": \"Two\", \"cat\": " + Entry(catTwo) + ", \"winkey\": " +
            Entry(winkeyTwo) + ", \"fsk\": " + Entry(fskTwo, ", \"flow\": \"dtr/rts\"") + "}}}",
        // Nothing: relays stopped, nothing else changed.
        "{}",
        // A bad key after a good group: refused half-way.
        "{\"ext_groups\": {\"1\": {\"cat\": " + Entry(catOne) + "}, \"x\": {}}}",
    };

    std::atomic<bool> stop{false};
    std::atomic<int> configured{0};
    std::atomic<int> powerReplies{0};
    std::atomic<int> catReplies{0};
    std::vector<std::thread> racers;
    const auto until =
        std::chrono::steady_clock::now() + 60s;  // a bound in case the QUIT below fails
    auto going = [&] { return !stop.load() && std::chrono::steady_clock::now() < until; };

    for (int who = 0; who < 2; ++who) {
        racers.emplace_back([&, who] {
            TcpClient client(server.Port());
            for (std::size_t i = who; going() && client.Connected(); ++i) {
                const std::string reply =
                    client.Ask("CFG" + documents[i % documents.size()] + ";", 30s);
                if (reply != "CFG_OK;") break;
                ++configured;
            }
        });
    }
    racers.emplace_back([&] {
        TcpClient client(server.Port());
        for (int i = 0; going() && client.Connected(); ++i) {
            client.Send(i % 2 == 0 ? "PT1;CK1;" : "CK0;PT0;");
            if (client.Ask("PW;", 10s).rfind("PW", 0) != 0) break;
            ++powerReplies;
        }
    });
    racers.emplace_back([&] {
        TcpClient client(server.Port());
        const char* frames[] = {"AG1;", "AG2;", "AG;", "AG1;", "AG7;"};
        for (int i = 0; going() && client.Connected(); ++i) {
            if (client.Ask(frames[i % 5], 10s) != "AG_OK;") break;
            std::this_thread::sleep_for(20ms);
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
            catOne.Write(i % 3 == 0 ? "fa00014074000;" : "FA;");
            catTwo.Write("IF;");
            winkeyOne.Write("\x02\x0a");
            winkeyTwo.Write("\x15");
            keyer.Write("\xc0");
            fskOne.Write("RY");
            fskTwo.Write("CQ");
            for (PseudoTerminal* pty :
                 {&catOne, &catTwo, &winkeyOne, &winkeyTwo, &keyer, &fskLine, &fskOne, &fskTwo}) {
                pty->ReadFor(5ms);
                pty->TakeReceived();
            }
        }
    });

    // Let them race, then end the server while they are still at it. Its
    // output is read meanwhile so that a full pipe never holds it up.
    const auto raceEnd = std::chrono::steady_clock::now() + 6s;
    while (std::chrono::steady_clock::now() < raceEnd) server.DrainOutput(50ms);
    {
        // No ASSERT before the racers are joined.
        TcpClient quitter(server.Port());
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
