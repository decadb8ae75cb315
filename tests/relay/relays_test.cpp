// The relays between the app groups' programs and the server's own ports:
// keying lines, FSK, WinKey and CAT, each heeding the active app.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "relay/active_group.h"
#include "relay/cat_relay.h"
#include "relay/fsk_relay.h"
#include "relay/keying_relays.h"
#include "relay/winkey_relay.h"
#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

// PTT and CW relays: a group program's DSR keys the server's own lines while
// the group is the active app.
using KeyingRelayTest = RelayTest;

TEST_F(KeyingRelayTest, ServerLinesFollowTheActiveGroupsDsrAndDropWhenTheRelaysStop) {
    AppGroup group = Group(1, "ptt cw");
    group.ptt.flow = "RTS";  // the group line's own name plays no part
    activeGroup.Store(1);
    manager.Start({{1, group}});

    sim::SetDsr("G1_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    EXPECT_FALSE(sim::Rts("SRV_CW"));
    sim::SetDsr("G1_CW", true);
    EXPECT_TRUE(sim::WaitForRts("SRV_CW", true, kBound));
    sim::SetDsr("G1_PTT", false);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", false, kBound));
    EXPECT_TRUE(sim::Rts("SRV_CW"));
    sim::SetDsr("G1_CW", false);
    EXPECT_TRUE(sim::WaitForRts("SRV_CW", false, kBound));
    // The relays read DSR and never drive the group's own lines.
    EXPECT_TRUE(sim::DtrHistory("G1_PTT").empty());

    // Stopped while keying: the transmitter is not left keyed with no relay
    // left to release it; a line keyed by CK, not by a relay, stays.
    sim::SetDsr("G1_PTT", true);
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    cwLine.Snapshot()->SetLine(true);
    manager.Stop();
    EXPECT_FALSE(sim::Dtr("SRV_PTT"));
    EXPECT_TRUE(sim::IsHeld("SRV_PTT") && sim::Rts("SRV_CW"));
    EXPECT_FALSE(sim::IsHeld("G1_PTT") || sim::IsHeld("G1_CW"));
}

TEST_F(KeyingRelayTest, ChangingTheActiveAppOrTheServersLineMovesThePttKeying) {
    activeGroup.Store(1);
    manager.Start({{1, Group(1, "ptt")}, {2, Group(2, "ptt")}});
    sim::SetDsr("G1_PTT", true);
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));

    // Another app becomes active while group 1 still holds its input.
    activeGroup.Store(2);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", false, kBound));
    // Back to group 1, whose DSR never dropped: the line comes back up.
    activeGroup.Store(1);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    // Group 2 keys once it is the active app.
    activeGroup.Store(2);
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", false, kBound));
    sim::SetDsr("G2_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));

    // A reconfiguration replaces the server's line and closes the old one:
    // the relay uses the new one at the next edge.
    sim::SetDsr("G2_PTT", false);
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", false, kBound));
    sim::CreateDevice("SRV_PTT2");
    pttLine.Replace(OpenServerLine("SRV_PTT2", "DTR"))->Close();
    sim::SetDsr("G2_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT2", true, kBound));
}

TEST_F(KeyingRelayTest, KeyingByTheControlClientIsNotUndoneByAnIdleRelay) {
    sim::SetDsr("G2_PTT", true);  // an inactive group holding its input
    activeGroup.Store(1);
    manager.Start({{1, Group(1, "ptt")}, {2, Group(2, "ptt")}});
    pttLine.Snapshot()->SetLine(true);  // what PT1 does
    // Neither the active relay, whose DSR is off, nor a change of the active
    // app touches a line the relays did not raise (the waits cover many polls).
    std::this_thread::sleep_for(150ms);
    activeGroup.Store(-1);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(sim::DtrHistory("SRV_PTT").size(), 1u);  // raised once, never touched again
}

TEST_F(KeyingRelayTest, OneDsrKeysBothLinesWhenAGroupsPttAndCwShareAPort) {
    AppGroup group = Group(1, "ptt cw");
    group.cw = Port("G1_PTT", "RTS");
    activeGroup.Store(1);
    manager.Start({{1, group}});
    sim::SetDsr("G1_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_CW", true, kBound));
}

// The relays wait for DSR to change. An edge no wait saw (it fell between
// two waits) is found by the reads between waits, which come often while
// the line is keyed; AG and Stop end a wait at once. Both bounds lie well
// below the one-second read of an idle line.
TEST_F(KeyingRelayTest, AnEdgeNoWaitSawIsFollowedAndAgOrStopEndAWaitAtOnce) {
    activeGroup.Store(1);
    manager.Start({{1, Group(1, "ptt")}});
    sim::SetDsr("G1_PTT", true);
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    sim::SetDsrUnseen("G1_PTT", false);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", false, 800ms));

    std::this_thread::sleep_for(50ms);  // the relay waits its idle second now
    sim::SetDsrUnseen("G1_PTT", true);
    activeGroup.Store(2);
    activeGroup.Store(1);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, 800ms));
    sim::SetDsr("G1_PTT", false);
    ASSERT_TRUE(sim::WaitForDtr("SRV_PTT", false, kBound));

    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    manager.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms);
}

// A port whose driver has no line events (a pseudo-terminal, some USB
// adapters) is polled as before, and says so once although two relays read it.
TEST_F(KeyingRelayTest, APortWithoutLineEventsIsPolledAndSaysSoOnce) {
    AppGroup group = Group(1, "ptt cw");
    group.cw = Port("G1_PTT", "RTS");
    sim::RefuseModemWait("G1_PTT");
    activeGroup.Store(1);
    manager.Start({{1, group}});
    sim::SetDsr("G1_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_CW", true, kBound));
    sim::SetDsr("G1_PTT", false);
    EXPECT_TRUE(sim::WaitForRts("SRV_CW", false, kBound));
    const auto out = log.Out();
    EXPECT_EQ(std::count(out.begin(), out.end(),
                         "[relay] G1_PTT: no modem-line events; polling every 10 ms\n"),
              1);
}

// FSK relays: data and DSR keying from the active group's program to the
// server's FSK port.
using FskRelayTest = RelayTest;

TEST(FskKeying, FlowTextChoosesTheKeyedLinesInAnyCase) {
    // The lines keyed: D for DTR, R for RTS.
    const std::pair<const char*, const char*> modes[] = {
        {"dtr", "D"}, {"Rts", "R"}, {"dtr/rts", "DR"}, {"DTR/RTS", "DR"}, {"NONE", ""}, {"", ""}};
    for (const auto& [flow, lines] : modes) {
        const FskKeying keying = FskKeyingFromFlow(flow);
        EXPECT_EQ(std::string(keying.dtr ? "D" : "") + (keying.rts ? "R" : ""), lines) << flow;
    }
}

TEST_F(FskRelayTest, OnlyTheActiveGroupSendsAndItsLinesDropWhenItStopsBeing) {
    AppGroup group = Group(1, "fsk");
    group.fsk.flow = "DTR/RTS";
    activeGroup.Store(2);
    manager.Start({{1, group}});

    // Sent while inactive: held in the group's port, not lost.
    sim::Feed("G1_FSK", "CQ CQ");
    sim::SetDsr("G1_FSK", true);
    std::this_thread::sleep_for(300ms);  // many rounds of an active relay
    EXPECT_EQ(sim::Written("SRV_FSK"), "");
    EXPECT_EQ(sim::Unread("G1_FSK"), 5u);
    EXPECT_FALSE(sim::Dtr("SRV_FSK"));

    activeGroup.Store(1);
    EXPECT_TRUE(sim::WaitForWritten("SRV_FSK", "CQ CQ", kBound));
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", true, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_FSK", true, kBound));
    sim::SetDsr("G1_FSK", false);
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", false, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_FSK", false, kBound));

    // AG to another group: the lines this relay raised drop although DSR
    // stays on, and come back when the group is active again.
    sim::SetDsr("G1_FSK", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", true, kBound));
    activeGroup.Store(2);
    EXPECT_TRUE(sim::WaitForDtr("SRV_FSK", false, kBound));
    EXPECT_TRUE(sim::WaitForRts("SRV_FSK", false, kBound));
    activeGroup.Store(1);
    EXPECT_TRUE(sim::WaitForRts("SRV_FSK", true, kBound));

    // The relay ends (reconfiguration): its lines drop with it.
    manager.Stop();
    EXPECT_FALSE(sim::Dtr("SRV_FSK") || sim::Rts("SRV_FSK"));
}

// A 45-baud line (RTTY: 5 data bits, 1.5 stop bits, 167 ms a character),
// held so that what the relay writes stays queued for it: the relay keeps one
// piece ahead of the line, and a group that loses the radio (or a relay that
// ends) leaves nothing queued behind.
TEST_F(FskRelayTest, ASlowLineIsFedPieceByPieceAndNothingOutlivesTheGroup) {
    ASSERT_TRUE(fskPort.Snapshot()->LockedOpen("SRV_FSK", 45, 5, 'N', 1.5f));
    sim::HoldOutput("SRV_FSK", true);
    std::string macro;
    for (int i = 0; i < 200; ++i) macro.push_back(static_cast<char>('A' + i % 26));
    activeGroup.Store(1);
    manager.Start({{1, Group(1, "fsk")}});
    sim::Feed("G1_FSK", macro);
    ASSERT_TRUE(sim::WaitUntil([] { return sim::QueuedOutput("SRV_FSK").size() >= 2; }, kBound));
    EXPECT_GE(sim::Unread("G1_FSK"), macro.size() - 3) << "read ahead of the line";

    // AG moves away mid-macro: the queued characters are thrown away, the
    // rest stays in the program's port.
    activeGroup.Store(2);
    ASSERT_TRUE(sim::WaitUntil([] { return sim::OutputDiscards("SRV_FSK") == 1; }, kBound));
    const std::size_t left = sim::Unread("G1_FSK");
    sim::HoldOutput("SRV_FSK", false);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sim::Written("SRV_FSK"), "");
    EXPECT_EQ(sim::Unread("G1_FSK"), left);

    // Back again: the macro goes on from where the program's port holds it.
    activeGroup.Store(1);
    const std::string rest = macro.substr(macro.size() - left, 2);
    EXPECT_TRUE(sim::WaitForWritten("SRV_FSK", rest, kBound));

    // The relay ends (reconfiguration) with a character queued: gone too.
    sim::HoldOutput("SRV_FSK", true);
    ASSERT_TRUE(sim::WaitUntil([] { return !sim::QueuedOutput("SRV_FSK").empty(); }, kBound));
    manager.Stop();
    EXPECT_EQ(sim::OutputDiscards("SRV_FSK"), 2);
    EXPECT_EQ(sim::QueuedOutput("SRV_FSK"), "");
}

// WinKey relays: the program's bytes reach the keyer while its group is
// active, and the keyer's bytes reach the active program. Bytes pass in
// order, so a check that only the newest bytes arrived shows that dropped
// ones do not come late.
class WinKeyRelayTest : public RelayTest {
  protected:
    // One byte at a time, a few milliseconds apart.
    static std::string Trickle(const char* device, const std::string& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            sim::Feed(device, bytes.substr(i, 1), milliseconds(5 * i));
        }
        return bytes;
    }
    static void TakenFrom(const char* device) {
        EXPECT_TRUE(sim::WaitUntil([&] { return sim::Unread(device) == 0; }, kBound)) << device;
    }
};

TEST_F(WinKeyRelayTest, OnlyTheActiveGroupTalksToTheKeyer) {
    activeGroup.Store(1);
    manager.Start({{1, Group(1, "winkey")}, {2, Group(2, "winkey")}, {3, Group(3, "ptt")}});
    sim::Feed("G1_WK", std::string("\x00\x02", 2));  // binary bytes pass unchanged
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", std::string("\x00\x02", 2), kBound));
    // Both directions at once: neither waits behind the other.
    const std::string toKeyer = Trickle("G1_WK", "0123456789012345");
    const std::string toProgram = Trickle("SRV_WK", "abcdefghijklmnop");
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", toKeyer, kBound));
    EXPECT_TRUE(sim::WaitForWritten("G1_WK", toProgram, kBound));
    sim::TakeWritten("SRV_WK");
    sim::TakeWritten("G1_WK");

    // The active group has no WinKey relay: both directions are read and
    // dropped, not held back for later.
    activeGroup.Store(3);
    sim::Feed("G1_WK", "AB");
    Trickle("SRV_WK", "stale");
    TakenFrom("G1_WK");
    TakenFrom("SRV_WK");
    // Group 2 active: the keyer's bytes reach it alone, and group 1's program
    // is no longer heard.
    activeGroup.Store(2);
    sim::Feed("G1_WK", "Q");
    TakenFrom("G1_WK");
    const std::string fresh = Trickle("SRV_WK", "ABCDEFGHIJ");
    EXPECT_TRUE(sim::WaitForWritten("G2_WK", fresh, kBound));
    sim::Feed("G2_WK", "K");
    EXPECT_TRUE(sim::WaitForWritten("SRV_WK", "K", kBound));
    EXPECT_EQ(sim::Written("SRV_WK"), "K");
    EXPECT_EQ(sim::Written("G2_WK"), fresh);
    EXPECT_EQ(sim::Written("G1_WK"), "");
}

// CAT relays: programs read the radio through their group's CAT port; only
// the active one changes it.
class CatRelayTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        activeGroup.Store(1);
        manager.Start({{1, Group(1, "cat")}, {2, Group(2, "cat")}});
    }

    // Sends the program's bytes and returns all it got back once the
    // expected text has arrived: nothing else came before it.
    static std::string Ask(const std::string& device, std::string_view bytes,
                           std::string_view expected) {
        sim::Feed(device, bytes);
        EXPECT_TRUE(sim::WaitForWritten(device, expected, kBound)) << "waiting for " << expected;
        return sim::TakeWritten(device);
    }
};

TEST_F(CatRelayTest, EveryGroupReadsTheRadioAndOnlyTheActiveOneChangesIt) {
    EXPECT_EQ(Ask("G2_CAT", "fa;", "FA"), "FA00014074000;");
    // A set command from the inactive group is dropped without an answer.
    EXPECT_EQ(Ask("G2_CAT", "FA00007000000;FA;", "FA"), "FA00014074000;");
    // From the active group, lower case and all, it reaches the radio.
    EXPECT_EQ(Ask("G1_CAT", "fa00007000000;id;fa;", "FA"), "ID019;FA00007000000;");
    EXPECT_EQ(Ask("G2_CAT", "FA;", "FA"), "FA00007000000;");
    // After AG makes group 2 active, its set commands go through.
    activeGroup.Store(2);
    EXPECT_EQ(Ask("G2_CAT", "FA00003500000;FA;", "FA"), "FA00003500000;");
}

TEST_F(CatRelayTest, HalfASecondOfSilenceEndsACommandAndALoneSemicolonIsPassedOver) {
    sim::TakeWritten("RADIO");
    // "ID" alone is handled as ID once the program has been silent 500 ms;
    // "FA;" 800 ms later is a command of its own.
    sim::Feed("G1_CAT", "ID");
    sim::Feed("G1_CAT", "FA;", 800ms);
    EXPECT_EQ(Ask("G1_CAT", "", "FA"), "ID019;FA00014074000;");
    EXPECT_EQ(Ask("G1_CAT", ";ID;", "ID"), "ID019;");
    EXPECT_EQ(sim::TakeWritten("RADIO"), "ID;FA;ID;");
}

TEST_F(CatRelayTest, QueriesAreAnsweredEvenWhenTheRadioCannot) {
    sim::SetResponder("RADIO", [](std::string_view) { return std::string(); });
    EXPECT_EQ(Ask("G2_CAT", "ID;", "?;"), "?;");
    catLink.Close();
    // A set command gets no answer, closed port or not.
    EXPECT_EQ(Ask("G1_CAT", "FA00014074000;FA;", "?;"), "?;");
}

// The wait of the relays whose group is not active: a change or a stop must
// wake them at once, not after their one-second look.
TEST(ActiveGroupTest, WaitEndsAtAChangeOrAtStop) {
    ActiveGroup active;
    std::atomic<bool> running{true};
    // Each wait would take 20 s unless something ends it.
    const auto waitEndsSoon = [&](std::int32_t seen, const std::function<void()>& act) {
        std::thread actor([&] {
            std::this_thread::sleep_for(50ms);  // the waiter is waiting by then
            act();
        });
        const auto start = std::chrono::steady_clock::now();
        active.WaitForChange(seen, running, 20s);
        actor.join();
        return std::chrono::steady_clock::now() - start < 5s;
    };
    EXPECT_TRUE(waitEndsSoon(-1, [&] { active.Store(3); }));
    EXPECT_EQ(active.Load(), 3);
    EXPECT_TRUE(waitEndsSoon(-1, [] {}));  // a value other than the one seen
    EXPECT_TRUE(waitEndsSoon(3, [&] {
        running = false;
        active.WakeAll();
    }));
}

}  // namespace
}  // namespace brinmoor
