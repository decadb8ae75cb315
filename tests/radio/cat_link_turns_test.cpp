// Callers of the CAT link: turns in arrival order, and one transaction for
// the callers that wait for the same query when it is written.
#include <atomic>
#include <string>
#include <tuple>
#include <vector>

#include "radio/cat_link.h"
#include "radio/cat_link_fixture.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::CatLinkTest;

TEST_F(CatLinkTest, CallersWaitingForAQueryWhenItIsWrittenShareItsTransaction) {
    SlowRadio({{"ID", "ID0570"}, {"FA", "FA00014074000"}, {"FB", "FB00007074000"}}, 300ms);
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
    ASSERT_TRUE(sim::WaitForWritten(name, "FA;", 5s));
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
    SlowRadio({{"FA", "FA00014074000"}, {"FB", "FB00007074000"}, {"MD0", "MD02"}}, 100ms);
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
        for (std::string& r : results) Queue([&] { r = link.CatTransaction("FA"); });
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

}  // namespace
}  // namespace brinmoor
