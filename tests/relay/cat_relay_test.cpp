// CAT relays: programs read the radio through their group's CAT port; only
// the active one changes it.
#include "relay/cat_relay.h"

#include <gtest/gtest.h>

#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

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

}  // namespace
}  // namespace brinmoor
