// Callers of the CAT link: turns in arrival order, and one transaction for
// the callers that wait for the same query when it is written.
#include <atomic>
#include <string>
#include <vector>

#include "radio/cat_link.h"
#include "radio/cat_link_fixture.h"
#include "support/log_capture.h"
#include "support/sim_serial_device.h"

namespace brinmoor {
namespace {

using std::chrono::milliseconds;
using test::CatLinkTest;

TEST_F(CatLinkTest, CallersWaitingForAQueryWhenItIsWrittenShareItsTransaction) {
    SlowRadio({{"ID", "ID0570"}, {"FA", "FA00014074000"}, {"FB", "FB00007074000"}}, milliseconds(300));
    ASSERT_TRUE(Open());
    ASSERT_EQ(link.CatTransaction("ID"), "ID0570");  // four digits: the server's own FA may go
    const CatTraffic before = link.Traffic();
    HoldTheLink();
    std::string first, second, third, own, otherDialect;
    std::vector<std::string> reads;  // of the caller that sets the frequency in between
    Queue([&] { first = link.CatTransaction("FA"); });
    Queue([&] {
        reads.push_back(link.CatTransaction("FA"));
        link.CatTransaction("FA00007000000");
        reads.push_back(link.CatTransaction("FA"));
    });
    Queue([&] { second = link.CatTransaction("FA"); });
    Queue([&] { link.CatTransaction("FB00003500000"); });
    Queue([&] { link.CatTransaction("FB00003500000"); });  // a set is never shared
    Queue([&] { own = link.OwnQuery("FA", RadioDialect::FourDigit); });
    Queue([&] { otherDialect = link.OwnQuery("FA", RadioDialect::ThreeDigit); });
    ReleaseTheLink();
    // Asked after "FA;" was written, while its answer is still on its way.
    ASSERT_TRUE(sim::WaitForWritten(name, "FA;", milliseconds(5000)));
    third = link.CatTransaction("FA");
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

TEST_F(CatLinkTest, BusyCallersTakeTurnsInTheOrderTheyAsked) {
    SlowRadio({{"FA", "FA00014074000"}, {"FB", "FB00007074000"}, {"MD0", "MD02"}},
              milliseconds(100));
    ASSERT_TRUE(Open());
    HoldTheLink();
    std::atomic<int> wrong{0};
    for (const std::string read : {"FB", "FA", "MD0"}) {
        Queue([&, read] {
            for (int i = 0; i < 4; ++i) wrong += link.CatTransaction(read).rfind(read, 0) != 0;
        });
    }
    ReleaseTheLink();
    JoinCalls();
    EXPECT_EQ(wrong.load(), 0);
    // Each asks again as soon as it has its answer, behind the other two.
    std::string turns;
    for (int i = 0; i < 4; ++i) turns += "FB;FA;MD0;";
    EXPECT_EQ(sim::TakeWritten(name), turns);
}

TEST_F(CatLinkTest, CallersSharingAQueryShareItsFailure) {
    test::LogCapture log;
    bool vanish = false;
    sim::SetResponder(name, [&](std::string_view written) {
        if (written != "FA;") return std::string();
        if (vanish) sim::Vanish(name);
        return std::string("?;");
    });
    ASSERT_TRUE(Open());
    struct Case {
        bool vanish;
        const char* result;
        const char* written;  // once, as for one caller
    };
    for (const Case& c : {Case{false, "?", "FA;FA;"}, Case{true, "", "FA;"}}) {
        vanish = c.vanish;
        HoldTheLink();
        std::string results[2];
        for (std::string& result : results) Queue([&] { result = link.CatTransaction("FA"); });
        ReleaseTheLink();
        JoinCalls();
        released = false;
        EXPECT_EQ(results[0], c.result) << c.written;
        EXPECT_EQ(results[1], c.result) << c.written;
        EXPECT_EQ(sim::TakeWritten(name), c.written);
    }
}

}  // namespace
}  // namespace brinmoor
