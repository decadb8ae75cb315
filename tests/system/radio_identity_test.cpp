// The radio's identity at the edges of a station's day: a radio switched on
// after the server while a program that is not the active app polls, and a
// radio swapped for another behind the open CAT port. Nothing may key it or
// change it by mistake.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/posix/pty.h"
#include "support/posix/station.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::CatCfg;
using test::PseudoTerminal;

constexpr std::size_t kIfTransmitIndex = 28;

bool StartsWith(const std::string& line, const std::string& prefix) {
    return line.rfind(prefix, 0) == 0;
}

class RadioIdentityTest : public test::StationTest {
  protected:
    // The radio, read through the server, is receiving.
    void ExpectReceiving() {
        const std::string report = control->Ask("IF;", 5s);
        ASSERT_GT(report.size(), kIfTransmitIndex) << report;
        EXPECT_EQ(report[kIfTransmitIndex], '0') << "left transmitting: " << report;
    }
};

TEST_F(RadioIdentityTest, RadioSwitchedOnLateTakesNoSetCommandFromAnInactiveProgram) {
    ASSERT_NO_FATAL_FAILURE(StartStation({"--silent", "--id", "021", "--log"}, {}, false));
    PseudoTerminal program;
    // No active app: the group may read the radio, not change it.
    ASSERT_EQ(control->Ask("CFG{\"ports\": {\"CAT\": {\"port\": \"" + radioPath +
                               "\"}}, \"ext_groups\": {\"1\": {\"cat\": {\"port\": \"" +
                               program.SlavePath() + "\"}}}};",
                           15s),
              "CFG_OK;");
    ASSERT_TRUE(server.WaitOut("No ID response"));
    ASSERT_TRUE(server.WaitOut("[relay] CAT relay started for group 1"));

    // A logger polls while the radio is switched on; it keeps polling until
    // the radio has identified itself and a little after.
    std::string answers;
    int roundsAfter = -1;
    const auto deadline = Clock::now() + 20s;
    for (int round = 0; Clock::now() < deadline && roundsAfter < 3; ++round) {
        program.TakeReceived();
        ASSERT_TRUE(program.Write("TX;MD1;NR1;PA1;FA;"));
        ASSERT_TRUE(program.WaitFor(";", 5s)) << "the read went unanswered";
        answers += program.TakeReceived();
        answers += program.ReadFor(200ms);  // a logger's pace; nothing else may come
        if (round == 1) {
            ASSERT_TRUE(radio.Control("silent off"));  // the radio is switched on
        }
        if (roundsAfter >= 0) {
            ++roundsAfter;
        } else if (server.WaitOut("Radio speaks the three-digit-ID dialect", 10ms)) {
            roundsAfter = 0;
        }
    }
    ASSERT_GE(roundsAfter, 0) << "the radio was never identified";

    // Only the reads were answered, and only they reached the radio.
    EXPECT_NE(answers.find("FA00014074000;"), std::string::npos) << answers;
    for (const std::string read : {"FA00014074000;", "?;"}) {
        for (auto at = answers.find(read); at != std::string::npos; at = answers.find(read)) {
            answers.erase(at, read.size());
        }
    }
    EXPECT_EQ(answers, "") << "answers to set commands";
    for (const std::string& line : radio.LogLines(300ms)) {
        for (const char* set : {"rx TX", "rx MD1", "rx NR1", "rx PA1"}) {
            EXPECT_FALSE(StartsWith(line, set)) << line;
        }
    }
    ExpectReceiving();
}

// Behind a pseudo-terminal, and behind a serial device server whose TCP
// connection stays up.
class RadioSwapTest : public RadioIdentityTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RadioSwapTest, RadioSwappedBehindTheOpenPortIsIdentifiedAgainAndNotLeftKeyed) {
    std::vector<std::string> options{"--id", "0570", "--log"};
    if (GetParam()) options.insert(options.end(), {"--tcp", "0"});
    ASSERT_NO_FATAL_FAILURE(StartStation(options, {}, false));
    ASSERT_EQ(control->Ask(CatCfg(radioPath), 15s), "CFG_OK;");
    ASSERT_TRUE(server.WaitOut("Radio speaks the four-digit-ID dialect"));
    ASSERT_TRUE(radio.WaitLog("rx TX;", 3s)) << "the transmit state is polled";

    // A three-digit radio now answers on the same line: "TX;" keys it.
    ASSERT_TRUE(radio.Control("id 021"));
    const auto swapped = Clock::now();
    ASSERT_TRUE(server.WaitOut("Radio speaks the three-digit-ID dialect", 10s));
    const auto identified = Clock::now() - swapped;
    EXPECT_TRUE(server.WaitOut(
        "[brinmoor] Sent RX; \xE2\x80\x94 the server's own TX; went to a three-digit-ID radio, "
        "which it keys"));
    EXPECT_LT(identified, 3s);

    // What the radio received from the swap on: one TX; at most, and RX; after it.
    std::vector<std::string> lines = radio.LogLines(1500ms);
    const auto swap = std::find(lines.begin(), lines.end(), "id 021");
    ASSERT_NE(swap, lines.end());
    lines.erase(lines.begin(), swap);
    const auto keyed = std::count(lines.begin(), lines.end(), "rx TX;");
    const auto lastTx = std::find(lines.rbegin(), lines.rend(), "rx TX;");
    EXPECT_LE(keyed, 1);
    EXPECT_NE(std::find(lines.rbegin(), lastTx, "rx RX;"), lastTx) << "no RX; after the TX;";
    std::printf("[   info   ] swap (%s): %ld TX; after it, identified again in %lld ms\n",
                GetParam() ? "tcp" : "pty", static_cast<long>(keyed),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(identified).count()));
    ExpectReceiving();
}

INSTANTIATE_TEST_SUITE_P(Behind, RadioSwapTest, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "Tcp" : "Pty"); });

}  // namespace
}  // namespace brinmoor
