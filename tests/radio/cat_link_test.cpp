#include "radio/cat_link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "radio/cat_link_fixture.h"
#include "support/log_capture.h"
#include "support/sim_serial_device.h"

namespace brinmoor {
namespace {

using std::chrono::milliseconds;
using test::CatLinkTest;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

TEST_F(CatLinkTest, UnchangedSettingsKeepThePortAndNewOnesReopenIt) {
    ASSERT_TRUE(Open());
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(link.PortName(), name);
    EXPECT_EQ(sim::OpenCount(name), 1);
    EXPECT_EQ(sim::PurgeCount(name), 1);

    ASSERT_TRUE(Open());
    EXPECT_EQ(sim::OpenCount(name), 1);
    EXPECT_EQ(sim::PurgeCount(name), 1);
    EXPECT_EQ(sim::CloseCount(name), 0);

    ASSERT_TRUE(Open(9600));
    EXPECT_EQ(sim::OpenCount(name), 2);
    EXPECT_EQ(sim::CloseCount(name), 1);
    ASSERT_TRUE(sim::LastSettings(name).has_value());
    EXPECT_EQ(sim::LastSettings(name)->baud, 9600u);

    ASSERT_TRUE(link.OpenIfChanged(name, 9600, 8, 'N', 1.5f));
    EXPECT_EQ(sim::OpenCount(name), 3);
    EXPECT_EQ(sim::LastSettings(name)->stopBits, SerialStopBits::OneAndHalf);
}

TEST_F(CatLinkTest, FailedOpenGivesTheWorkingPortBackWithItsSettings) {
    ASSERT_TRUE(Open(9600));
    EXPECT_FALSE(link.OpenIfChanged("CAT_NO_SUCH_PORT", 4800, 8, 'N', 1.0f));
    EXPECT_TRUE(link.IsOpen());
    EXPECT_TRUE(sim::IsHeld(name));
    EXPECT_EQ(link.PortName(), name);
    EXPECT_EQ(sim::OpenCount(name), 2);
    EXPECT_EQ(sim::LastSettings(name)->baud, 9600u);
    ASSERT_TRUE(Open(9600));
    EXPECT_EQ(sim::OpenCount(name), 2) << "kept: the settings are the remembered ones";
}

TEST_F(CatLinkTest, SetCommandReturnsRightAfterTheWriteAndQueryGetsItsAnswer) {
    sim::SetResponder(name, sim::KenwoodResponder({{"FA", "FA00007000000"}}));
    ASSERT_TRUE(Open());

    EXPECT_EQ(link.CatTransaction("FA00014074000"), "");
    EXPECT_EQ(sim::TakeWritten(name), "FA00014074000;");

    EXPECT_EQ(link.CatTransaction("FA"), "FA00014074000");
    EXPECT_EQ(sim::TakeWritten(name), "FA;");
}

TEST_F(CatLinkTest, SetCommandDoesNotWaitForWhatTheRadioSaysAfterwards) {
    sim::SetResponder(name, [this](std::string_view) {
        sim::Feed(name, "?;", milliseconds(300));
        return std::string();
    });
    ASSERT_TRUE(Open());
    EXPECT_EQ(link.CatTransaction("XX1"), "");
    EXPECT_EQ(sim::Unread(name), 2u);  // nothing read: the "?;" is still on its way
}

TEST_F(CatLinkTest, UnansweredQueryIsAskedTwiceThenGivesQuestionMark) {
    // The first attempt sees only a piece of some other message, the second
    // nothing at all: neither is an answer to MD0.
    int calls = 0;
    sim::SetResponder(name, [&calls](std::string_view) {
        return ++calls == 1 ? std::string("IF0001") : std::string();
    });
    ASSERT_TRUE(Open());
    const auto start = Clock::now();
    EXPECT_EQ(link.CatTransaction("MD0"), "?");
    const auto elapsed = MsSince(start);
    EXPECT_GE(elapsed, 900);
    EXPECT_LT(elapsed, 5000);
    EXPECT_EQ(sim::TakeWritten(name), "MD0;MD0;");
}

TEST_F(CatLinkTest, RefusalTwiceGivesQuestionMarkAndOnceIsRetried) {
    AnswerEveryCommandWith("?;");
    ASSERT_TRUE(Open());
    EXPECT_EQ(link.CatTransaction("ID"), "?");
    EXPECT_EQ(sim::TakeWritten(name), "ID;ID;");

    // A refusal, or an empty message, fails only its own attempt.
    for (const std::string first : {"?;", ";"}) {
        int calls = 0;
        sim::SetResponder(name, [&calls, first](std::string_view) {
            return ++calls == 1 ? first : std::string("ID019;");
        });
        EXPECT_EQ(link.CatTransaction("ID"), "ID019") << first;
        EXPECT_EQ(sim::TakeWritten(name), "ID;ID;") << first;
    }
}

TEST_F(CatLinkTest, PartialAnswerIsReturnedAfterHalfASecondOfSilence) {
    AnswerEveryCommandWith("FA000140");
    ASSERT_TRUE(Open());
    const auto start = Clock::now();
    EXPECT_EQ(link.CatTransaction("FA"), "FA000140");
    const auto elapsed = MsSince(start);
    EXPECT_GE(elapsed, 400);
    EXPECT_LT(elapsed, 5000);
    EXPECT_EQ(sim::TakeWritten(name), "FA;");
}

TEST_F(CatLinkTest, AnswerInPiecesIsJoined) {
    sim::SetResponder(name, [this](std::string_view) {
        sim::Feed(name, "FA0001", milliseconds(100));
        sim::Feed(name, "4074000;", milliseconds(200));
        return std::string();
    });
    ASSERT_TRUE(Open());
    EXPECT_EQ(link.CatTransaction("FA"), "FA00014074000");
}

TEST_F(CatLinkTest, StaleInputIsDrainedBeforeTheWrite) {
    sim::SetResponder(name, sim::KenwoodResponder({{"FA", "FA00014074000"}}));
    ASSERT_TRUE(Open());
    sim::Feed(name, "FA00007000000;IF00007000000;FA0000");
    EXPECT_EQ(link.CatTransaction("FA"), "FA00014074000");
    EXPECT_EQ(sim::Unread(name), 0u);
}

TEST_F(CatLinkTest, ReportsArrivingDuringAQueryAreSkipped) {
    AnswerEveryCommandWith("FA00014074000;IF00014074000;MD2;");
    ASSERT_TRUE(Open());
    EXPECT_EQ(link.CatTransaction("MD0"), "MD2");
    EXPECT_EQ(sim::TakeWritten(name), "MD0;");

    // A radio that chatters without answering cannot hold the link.
    std::string chatter;
    for (int i = 0; i < 3 * kMaxSkippedReports; ++i) chatter += "FA00014074000;";
    AnswerEveryCommandWith(chatter + "MD2;");
    EXPECT_EQ(link.CatTransaction("MD0"), "?");
    EXPECT_EQ(sim::TakeWritten(name), "MD0;MD0;");
}

TEST_F(CatLinkTest, AnswerIsCutAtTheBoundAndTheRestIsDrained) {
    const std::string huge = "IF" + std::string(kMaxCatReply + 900, '7');
    sim::SetResponder(name, [huge](std::string_view written) {
        return written == "ID;" ? std::string("ID019;") : huge + ";";
    });
    ASSERT_TRUE(Open());
    const std::string reply = link.CatTransaction("IF");
    EXPECT_EQ(reply.size(), kMaxCatReply);
    EXPECT_EQ(reply, huge.substr(0, kMaxCatReply));
    EXPECT_EQ(link.CatTransaction("ID"), "ID019");
}

TEST_F(CatLinkTest, ClosedPortGivesEmptyAtOnceAndWritesNothing) {
    AnswerEveryCommandWith("FA00014074000;");
    EXPECT_EQ(link.CatTransaction("FA"), "");  // never opened

    ASSERT_TRUE(Open());
    link.Close();
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(sim::IsHeld(name));
    EXPECT_EQ(link.PortName(), "");
    EXPECT_FALSE(sim::Dtr(name));
    EXPECT_FALSE(sim::Rts(name));
    const auto start = Clock::now();
    EXPECT_EQ(link.CatTransaction("FA"), "");
    EXPECT_EQ(link.CatTransaction("FA00014074000"), "");
    EXPECT_LT(MsSince(start), 200);
    EXPECT_EQ(sim::Written(name), "");

    // Closing is not the end of the link: it can be opened again.
    ASSERT_TRUE(Open());
    EXPECT_EQ(link.CatTransaction("FA"), "FA00014074000");
}

TEST_F(CatLinkTest, CloseCutsShortTheTransactionsInFlight) {
    // A radio that trickles an endless answer, one byte every 100 ms.
    sim::SetResponder(name, [this](std::string_view) {
        for (int i = 0; i < 40; ++i) sim::Feed(name, i == 0 ? "FA" : "0", milliseconds(100 * i));
        return std::string();
    });
    ASSERT_TRUE(Open());
    std::string inFlight = "unset";
    std::thread asker([&] { inFlight = link.CatTransaction("FA"); });
    ASSERT_TRUE(sim::WaitForWritten(name, "FA;", milliseconds(2000)));

    std::vector<std::string> queued(2, "unset");
    std::vector<std::thread> waiters;
    for (auto& result : queued) {
        waiters.emplace_back([&link = link, &result] { result = link.CatTransaction("IF"); });
    }
    std::this_thread::sleep_for(milliseconds(50));

    const auto start = Clock::now();
    link.Close();
    asker.join();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_LT(MsSince(start), 1000);  // the answer alone would keep it four seconds
    EXPECT_EQ(inFlight, "");
    EXPECT_EQ(queued[0], "");
    EXPECT_EQ(queued[1], "");
    EXPECT_EQ(sim::Written(name), "FA;");
}

TEST_F(CatLinkTest, ConcurrentTransactionsTakeTurnsOnTheWire) {
    const std::map<std::string, std::string> answers = {
        {"FA", "FA00014074000"}, {"FB", "FB00007074000"}, {"ID", "ID019"}};
    std::atomic<int> overlaps{0};
    sim::SetResponder(name, [&](std::string_view written) {
        // Another command while an answer is still due means two transactions at once.
        if (sim::Unread(name) != 0) ++overlaps;
        const std::string command(written.substr(0, written.size() - 1));
        const auto answer = answers.find(command);
        if (answer != answers.end()) sim::Feed(name, answer->second + ";", milliseconds(15));
        return std::string();
    });
    ASSERT_TRUE(Open());

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (const auto& [command, answer] : answers) {
        threads.emplace_back([&, command = command, answer = answer] {
            for (int i = 0; i < 6; ++i) {
                if (link.CatTransaction(command) != answer) ++wrong;
                if (link.CatTransaction(command + "1") != "") ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    const std::string written = sim::TakeWritten(name);
    std::size_t commands = 0;
    for (std::size_t at = written.find(';'); at != std::string::npos;
         at = written.find(';', at + 1)) {
        ++commands;
    }
    EXPECT_EQ(commands, 36u);
}

TEST_F(CatLinkTest, TheRadioSaysItsDialectOncePerOpeningAndNeverGetsAnotherDialectsQueries) {
    const std::string three =
        "[brinmoor] Radio speaks the three-digit-ID dialect: transmit state read from IF\n";
    std::string id = "ID019";
    sim::SetResponder(name, [&id](std::string_view written) {
        if (written == "ID;") return id + ";";
        if (written == "TX;" || written == "IF;") return std::string(written.substr(0, 2)) + "0;";
        return std::string();
    });
    test::LogCapture log;
    ASSERT_TRUE(Open());
    EXPECT_EQ(link.Dialect(), RadioDialect::Unknown);
    // Not identified yet: the server's own queries are not sent.
    EXPECT_EQ(link.OwnQuery("TX", RadioDialect::FourDigit), "");
    EXPECT_EQ(link.CatTransaction("ID"), "ID019");
    EXPECT_EQ(link.CatTransaction("ID"), "ID019");
    EXPECT_EQ(link.Dialect(), RadioDialect::ThreeDigit019);
    EXPECT_EQ(log.Out(), std::vector<std::string>{three});
    EXPECT_EQ(link.OwnQuery("TX", RadioDialect::FourDigit), "");
    EXPECT_EQ(link.OwnQuery("TX", RadioDialect::ThreeDigit019), "") << "a set command there";
    EXPECT_EQ(link.OwnQuery("IF", RadioDialect::ThreeDigit019), "IF0");
    EXPECT_EQ(link.CatTransaction("MD1"), "") << "LSB on this radio: not waited for";
    EXPECT_EQ(sim::TakeWritten(name), "ID;ID;IF;MD1;");

    // Every opening starts unidentified; an answer that fits no dialect is
    // said once and keeps the server to "ID".
    id = "IDXY1";
    ASSERT_TRUE(Open(9600));
    EXPECT_EQ(link.Dialect(), RadioDialect::Unknown);
    log.Clear();
    link.CatTransaction("ID");
    link.CatTransaction("ID");
    EXPECT_EQ(link.Dialect(), RadioDialect::Unknown);
    EXPECT_EQ(log.Out(), std::vector<std::string>{
                             "[brinmoor] WARNING: Radio ID IDXY1 is neither three nor four digits "
                             "\xE2\x80\x94 sending it nothing of the server's own but ID\n"});
    id = "ID0570";
    link.CatTransaction("ID");
    EXPECT_EQ(link.Dialect(), RadioDialect::FourDigit);
    EXPECT_EQ(link.OwnQuery("TX", RadioDialect::FourDigit), "TX0");
}

TEST_F(CatLinkTest, SetCommandWaitingForTheLockIsDroppedWhenItsGroupLosesTheRadio) {
    // A query holds the lock while the radio takes 400 ms to answer.
    sim::SetResponder(name, [this](std::string_view written) {
        if (written == "FA;") sim::Feed(name, "FA00014074000;", milliseconds(400));
        return std::string();
    });
    ASSERT_TRUE(Open());
    std::atomic<std::int32_t> active{1};
    std::thread query([&] { EXPECT_EQ(link.CatTransaction("FA"), "FA00014074000"); });
    ASSERT_TRUE(sim::WaitForWritten(name, "FA;", milliseconds(2000)));
    // Group 1 is the active app when its set command starts waiting...
    std::thread set([&] { link.CatTransaction("FA00007000000", ChangeRight{&active, 1}); });
    // ...and no longer when the link is free for it.
    active.store(2);
    query.join();
    set.join();
    EXPECT_EQ(sim::TakeWritten(name), "FA;");
    // The group that is active now may.
    EXPECT_EQ(link.CatTransaction("FA00007000000", ChangeRight{&active, 2}), "");
    EXPECT_EQ(sim::TakeWritten(name), "FA00007000000;");
}

}  // namespace
}  // namespace brinmoor
