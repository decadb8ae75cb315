// One transaction at a time on the radio's CAT port: opening, reading the
// reply, closing, the radio's dialect, callers' turns (arrival order, and one
// transaction for the callers that wait for the same query when it is
// written), and a port lost and reopened.
#include "radio/cat_link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/log.h"
#include "radio/cat_link_fixture.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using test::CatLinkTest;

TEST_F(CatLinkTest, SettingsKeepOrReopenThePortAndAFailedOpenGivesTheWorkingOneBack) {
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Open());
    EXPECT_EQ(sim::OpenCount(name), 1);  // the same settings keep the port
    ASSERT_TRUE(link.OpenIfChanged(name, 9600, 8, 'N', 1.5f));
    EXPECT_EQ(sim::OpenCount(name), 2);
    EXPECT_EQ(sim::LastSettings(name)->baud, 9600u);
    EXPECT_EQ(sim::LastSettings(name)->stopBits, SerialStopBits::OneAndHalf);

    // A port that does not open: the working one is opened again as it was.
    EXPECT_FALSE(link.OpenIfChanged("CAT_NO_SUCH_PORT", 4800, 8, 'N', 1.0f));
    EXPECT_TRUE(sim::IsHeld(name));
    EXPECT_EQ(link.PortName(), name);
    EXPECT_EQ(sim::LastSettings(name)->baud, 9600u);
    ASSERT_TRUE(link.OpenIfChanged(name, 9600, 8, 'N', 1.5f));
    EXPECT_EQ(sim::OpenCount(name), 3) << "kept: the settings are the remembered ones";
}

// What the radio sends after one write: pieces, each due some ms after it.
using Pieces = std::vector<std::pair<int, std::string>>;

struct ReplyCase {
    std::string command;
    std::vector<Pieces> radio;  // after the first write, the second, ...
    std::string result;
    std::string written;
    std::string stale = {};  // waiting in the port before the command
    std::size_t unread = 0;  // still on its way when the transaction is over
};

TEST_F(CatLinkTest, ReplyIsTheAnswerThatRepeatsTheCodeWithOneRetry) {
    std::string chatter;
    for (int i = 0; i < 3 * kMaxSkippedReports; ++i) chatter += "FA00014074000;";
    chatter += "MD2;";
    const std::string huge = "IF" + std::string(kMaxCatReply + 900, '7');
    const std::string fa = "FA00014074000;";
    const std::string cut = huge.substr(0, kMaxCatReply);
    const std::size_t chatterLeft = chatter.size() - kMaxSkippedReports * fa.size();
    const ReplyCase cases[] = {
        // a set command is not waited for
        {"FA00014074000", {{{300, "?;"}}}, "", fa, "", 2},
        // a query gets its answer
        {"FA", {{{0, fa}}}, "FA00014074000", "FA;"},
        // pieces are joined; 500 ms of silence ends the reply
        {"FA", {{{100, "FA0001"}, {200, "4074"}, {1000, "000;"}}}, "FA00014074", "FA;", "", 4},
        // the radio's own reports are skipped
        {"MD", {{{0, fa + "IF00014074000;MD2;"}}}, "MD2", "MD;"},
        // a radio that only chatters cannot hold the link
        {"MD", {{{0, chatter}}, {{0, chatter}}}, "?", "MD;MD;", "", chatterLeft},
        // a refusal fails the first attempt only; so does an empty message
        {"ID", {{{0, "?;"}}, {{0, "ID019;"}}}, "ID019", "ID;ID;"},
        {"ID", {{{0, ";"}}, {{0, "ID019;"}}}, "ID019", "ID;ID;"},
        // what follows a refusal is no answer
        {"ID", {{{0, "?;ID0570;"}}, {{0, "ID019;"}}}, "ID019", "ID;ID;"},
        // two refusals give ?
        {"ID", {{{0, "?;"}}, {{0, "?;"}}}, "?", "ID;ID;"},
        // a piece of another message, then silence, twice
        {"MD", {{{0, "IF0001"}}}, "?", "MD;MD;"},
        // stale input is drained before the write
        {"FA", {{{0, fa}}}, "FA00014074000", "FA;", "FA00007000000;IF00007000000;FA0000"},
        // a long answer is cut at the bound
        {"IF", {{{0, huge + ";"}}}, cut, "IF;", "", huge.size() + 1 - cut.size()},
    };
    test::LogCapture log;
    std::size_t writes = 0;
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        // A port of its own for each case: nothing left over from the last.
        const std::string device = name + std::to_string(&c - cases);
        sim::CreateDevice(device);
        writes = 0;
        sim::SetResponder(device, [&, device](std::string_view) {
            const Pieces none;
            for (const auto& [delay, bytes] : writes < c.radio.size() ? c.radio[writes] : none) {
                sim::Feed(device, bytes, milliseconds(delay));
            }
            ++writes;
            return std::string();
        });
        ASSERT_TRUE(link.OpenIfChanged(device, 38400, 8, 'N', 1.0f));
        sim::Feed(device, c.stale);
        EXPECT_EQ(link.CatTransaction(c.command).answer, c.result);
        EXPECT_EQ(sim::TakeWritten(device), c.written);
        EXPECT_EQ(sim::Unread(device), c.unread);
        EXPECT_TRUE(link.IsOpen());  // a silent or babbling radio is not lost
    }
    EXPECT_TRUE(log.Err().empty());
}

TEST_F(CatLinkTest, CloseCutsShortTheTransactionsInFlightAndTheLinkOpensAgain) {
    EXPECT_EQ(link.CatTransaction("FA").answer, "");  // never opened
    SlowRadio({{"FA", "FA00014074000"}}, 0ms);
    ASSERT_TRUE(Open());
    HoldTheLink();  // an answer that never ends
    std::string queued[2] = {"unset", "unset"};
    for (std::string& result : queued) Queue([&] { result = link.CatTransaction("FA").answer; });

    const auto start = std::chrono::steady_clock::now();
    link.Close();
    JoinCalls();
    // A closed port answers at once and writes nothing.
    EXPECT_EQ(link.CatTransaction("FA").answer, "");
    EXPECT_EQ(link.CatTransaction("FA00014074000").answer, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(heldResult + queued[0] + queued[1], "");
    EXPECT_EQ(sim::Written(name), "");
    EXPECT_FALSE(sim::IsHeld(name));
    EXPECT_EQ(link.PortName(), "");

    ReleaseTheLink();
    ASSERT_TRUE(Open());
    EXPECT_EQ(link.CatTransaction("FA").answer, "FA00014074000");
}

TEST_F(CatLinkTest, TheRadioSaysItsDialectAndIsAskedAgainWhenItsAnswersStopFitting) {
    const std::string fullIf = "IF00014074000     +000000000020000000";  // 37 characters
    std::string id = "ID019";
    std::string ifAnswer = fullIf;
    sim::SetResponder(name, [&](std::string_view written) {
        if (written == "ID;") return id + ";";
        if (written == "TX;") return std::string("TX0;");
        if (written == "IF;") return ifAnswer + ";";
        return std::string();
    });
    test::LogCapture log;
    ASSERT_TRUE(Open());
    // Not identified yet: the server's own queries are not sent, TX is a set
    // command for everyone, and "ID" is not due before its pace.
    EXPECT_EQ(link.OwnQuery("TX", RadioDialect::FourDigit), "");
    EXPECT_FALSE(link.CatTransaction("TX").read);
    EXPECT_FALSE(link.IdentifyDue());
    EXPECT_EQ(link.CatTransaction("ID").answer, "ID019");
    EXPECT_EQ(link.CatTransaction("ID").answer, "ID019");
    EXPECT_EQ(link.Dialect(), RadioDialect::ThreeDigit019);
    EXPECT_EQ(log.Out(), std::vector<std::string>{"[brinmoor] Radio speaks the three-digit-ID "
                                                  "dialect: transmit state read from IF\n"});
    EXPECT_EQ(link.OwnQuery("TX", RadioDialect::FourDigit), "");
    EXPECT_EQ(link.OwnQuery("TX", RadioDialect::ThreeDigit019), "") << "a set command there";
    EXPECT_EQ(link.OwnQuery("IF", RadioDialect::ThreeDigit019), fullIf);
    const CatReply mode = link.CatTransaction("MD1");
    EXPECT_FALSE(mode.read) << "LSB on this radio: not waited for";
    EXPECT_EQ(sim::TakeWritten(name), "TX;ID;ID;IF;MD1;");

    // An IF answer of another length: forgotten, and "ID" is due at once.
    ifAnswer = "IF0";
    log.Clear();
    EXPECT_EQ(link.OwnQuery("IF", RadioDialect::ThreeDigit019), "");
    EXPECT_EQ(link.Dialect(), RadioDialect::Unknown);
    EXPECT_TRUE(link.IdentifyDue());
    EXPECT_EQ(log.Out(), std::vector<std::string>{"[brinmoor] Radio gave no fitting answer to IF "
                                                  "\xE2\x80\x94 asking for its ID again\n"});
    id = "ID0570";
    link.Identify();
    EXPECT_EQ(link.Dialect(), RadioDialect::FourDigit);
    EXPECT_FALSE(link.IdentifyDue());
    EXPECT_EQ(link.OwnQuery("TX", RadioDialect::FourDigit), "TX0");

    // An answer to "ID" that fits no dialect forgets it, is said once per
    // opening, and is asked again once at once.
    id = "IDXY1";
    log.Clear();
    link.CatTransaction("ID");
    EXPECT_EQ(link.Dialect(), RadioDialect::Unknown);
    EXPECT_TRUE(link.IdentifyDue());
    link.Identify();
    EXPECT_FALSE(link.IdentifyDue());
    EXPECT_EQ(log.Out(), std::vector<std::string>{
                             "[brinmoor] WARNING: Radio ID IDXY1 is neither three nor four digits "
                             "\xE2\x80\x94 sending it nothing of the server's own but ID\n"});
    EXPECT_EQ(sim::TakeWritten(name), "IF;ID;TX;ID;ID;");
}

TEST_F(CatLinkTest, CallersWaitingForAQueryWhenItIsWrittenShareItsTransaction) {
    SlowRadio({{"ID", "ID0570"}, {"FA", "FA00014074000"}, {"FB", "FB00007074000"}}, 300ms);
    ASSERT_TRUE(Open());
    // Four digits: the server's own FA may go.
    ASSERT_EQ(link.CatTransaction("ID").answer, "ID0570");
    const CatTraffic before = link.Traffic();
    HoldTheLink();
    std::string first, second, third, own, otherDialect;
    std::vector<std::string> reads;  // of the caller that sets the frequency in between
    Queue([&] { first = link.CatTransaction("FA").answer; });
    Queue([&] {
        reads.push_back(link.CatTransaction("FA").answer);
        link.CatTransaction("FA00007000000");
        reads.push_back(link.CatTransaction("FA").answer);
    });
    Queue([&] { second = link.CatTransaction("FA").answer; });
    Queue([&] { link.CatTransaction("FB00003500000"); });
    Queue([&] { link.CatTransaction("FB00003500000"); });  // a set is never shared
    Queue([&] { own = link.OwnQuery("FA", RadioDialect::FourDigit); });
    Queue([&] { otherDialect = link.OwnQuery("FA", RadioDialect::ThreeDigit); });
    ReleaseTheLink();
    // Asked after "FA;" was written, while its answer is still on its way.
    ASSERT_TRUE(sim::WaitForWritten(name, "FA;", 5s));
    third = link.CatTransaction("FA").answer;
    JoinCalls();

    EXPECT_EQ(sim::TakeWritten(name), "FA;FB00003500000;FB00003500000;FA;FA00007000000;FA;");
    EXPECT_EQ(first, "FA00014074000");
    EXPECT_EQ(second, first);
    EXPECT_EQ(own, first);
    EXPECT_EQ(otherDialect, "");
    EXPECT_EQ(third, first);
    EXPECT_EQ(reads, (std::vector<std::string>{"FA00014074000", "FA00007000000"}));
    const CatTraffic after = link.Traffic();
    EXPECT_EQ(after.commandsWritten - before.commandsWritten, 7u);
    EXPECT_EQ(after.answersShared - before.answersShared, 3u);
    EXPECT_EQ(after.callers, 0u);
}

TEST_F(CatLinkTest, CallersSharingAQueryShareItsFailure) {
    bool vanish = false;
    sim::SetResponder(name, [&](std::string_view written) {
        if (written != "FA;") return std::string();
        if (vanish) sim::Vanish(name);
        return std::string("?;");
    });
    ASSERT_TRUE(Open());
    // Refused twice: "?" for both; the port lost: empty for both.
    for (const auto& [lose, result, written] :
         {std::tuple{false, "?", "FA;FA;"}, std::tuple{true, "", "FA;"}}) {
        vanish = lose;
        HoldTheLink();
        std::string results[2];
        for (std::string& r : results) Queue([&] { r = link.CatTransaction("FA").answer; });
        ReleaseTheLink();
        JoinCalls();
        EXPECT_EQ(results[0], result) << written;
        EXPECT_EQ(results[1], result) << written;
        EXPECT_EQ(sim::TakeWritten(name), written);
    }
}

TEST_F(CatLinkTest, SetCommandWaitingForItsTurnIsDroppedWhenItsGroupLosesTheRadio) {
    SlowRadio({}, 0ms);
    ASSERT_TRUE(Open());
    std::atomic<std::int32_t> active{1};
    HoldTheLink();
    // Group 1 is the active app when its set command starts waiting...
    Queue([&] { link.CatTransaction("FA00007000000", ChangeRight{&active, 1}); });
    active = 2;  // ...and no longer when its turn comes; group 2's goes.
    Queue([&] { link.CatTransaction("FA00003500000", ChangeRight{&active, 2}); });
    ReleaseTheLink();
    JoinCalls();
    EXPECT_EQ(sim::TakeWritten(name), "FA00003500000;");
}

// A radio whose CAT port goes away (USB unplugged, radio power-cycled) is
// closed, reported once, and reopened with the same settings when it returns.
std::string LostLine(const std::string& port) {
    return "[brinmoor] CAT port " + port + " lost \xE2\x80\x94 will reopen when it returns\n";
}
std::string ReopenedLine(const std::string& port) {
    return "[brinmoor] CAT port " + port + " reopened\n";
}

// Opens the link on a radio of its own and unplugs it under a transaction.
void Lose(CatLink& link, const std::string& port) {
    sim::CreateDevice(port);
    sim::SetResponder(port, sim::KenwoodResponder({{"FA", "FA00014074000"}, {"ID", "ID019"}}));
    ASSERT_TRUE(link.OpenIfChanged(port, 38400, 8, 'N', 1.0f));
    ASSERT_EQ(link.CatTransaction("FA").answer, "FA00014074000");
    sim::Vanish(port);
    // The write of a set command finds the device gone.
    EXPECT_EQ(link.CatTransaction("FA00007000000").answer, "");
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(CatLinkTest, LostPortIsReportedOnceAndTriedUntilItComesBackEachTime) {
    test::LogCapture log;
    Lose(link, name);
    EXPECT_EQ(sim::CloseCount(name), 1);  // the dead handle is released
    EXPECT_EQ(link.PortName(), name);     // the settings are kept for the reopen
    // Meanwhile the radio answers as a closed port, and the loss is said once.
    EXPECT_EQ(link.CatTransaction("FA").answer, "");
    EXPECT_EQ(link.CatTransaction("FA").answer, "");
    EXPECT_FALSE(Open()) << "the same settings fail while it is away, and keep the attempts";
    EXPECT_EQ(log.Count(LogStream::Err, LostLine(name)), 1);

    sim::Reappear(name);
    ASSERT_TRUE(log.WaitFor(LogStream::Out, ReopenedLine(name), 10s));
    ASSERT_TRUE(
        log.WaitFor(LogStream::Out, "[brinmoor] CAT port " + name + " opened. Radio ID: ID019\n"));
    EXPECT_EQ(link.CatTransaction("FA").answer, "FA00014074000");
    EXPECT_EQ(sim::LastSettings(name)->baud, 38400u);

    // Lost again, this time while the radio answers: a read finds it gone.
    sim::SetResponder(name, [this](std::string_view) {
        sim::Vanish(name);
        return std::string();
    });
    EXPECT_EQ(link.CatTransaction("FA").answer, "");
    EXPECT_EQ(log.Count(LogStream::Err, LostLine(name)), 2);
    sim::Reappear(name);
    ASSERT_TRUE(log.WaitFor(LogStream::Out, ReopenedLine(name), 10s, 2));
}

TEST_F(CatLinkTest, NewSettingsCloseAndDestructionEndTheAttempts) {
    test::LogCapture log;
    // The same baud rate no longer wanted: a new one fails while it is away.
    CatLink newBaud;
    Lose(newBaud, name + "_BAUD");
    EXPECT_FALSE(newBaud.OpenIfChanged(name + "_BAUD", 9600, 8, 'N', 1.0f));
    // Another port altogether: opened at once and kept.
    CatLink newPort;
    Lose(newPort, name + "_OLD");
    sim::CreateDevice(name + "_NEW");
    ASSERT_TRUE(newPort.OpenIfChanged(name + "_NEW", 19200, 8, 'N', 1.0f));
    // Closed, or destroyed, without sitting out the pause between attempts.
    CatLink closed;
    Lose(closed, name + "_CLOSED");
    auto destroyed = std::make_unique<CatLink>();
    Lose(*destroyed, name + "_DESTROYED");
    const auto start = Clock::now();
    closed.Close();
    destroyed.reset();
    EXPECT_LT(Clock::now() - start, 1500ms);

    // Lost last, this one is reopened; by then the others have had their turn.
    Lose(link, name);
    for (const char* port : {"_BAUD", "_OLD", "_CLOSED", "_DESTROYED", ""}) {
        sim::Reappear(name + port);
    }
    ASSERT_TRUE(log.WaitFor(LogStream::Out, ReopenedLine(name), 10s));
    std::this_thread::sleep_for(300ms);  // a late attempt of another link would show now
    for (const char* port : {"_BAUD", "_OLD", "_CLOSED", "_DESTROYED"}) {
        EXPECT_FALSE(sim::IsHeld(name + port)) << port;
        EXPECT_EQ(log.Count(LogStream::Out, ReopenedLine(name + port)), 0) << port;
    }
    EXPECT_EQ(newPort.PortName(), name + "_NEW");
    EXPECT_TRUE(sim::IsHeld(name + "_NEW"));
}

}  // namespace
}  // namespace brinmoor
