// CAT relays through the manager: programs read the radio through their
// group's CAT port; only the active one changes it.
#include "relay/cat_relay.h"

#include <gtest/gtest.h>

#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

constexpr milliseconds kBound = 3000ms;  // one unanswered query takes about 1.1 s

class CatRelayTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        Devices({"RADIO", "G1_CAT", "G2_CAT"});
        sim::SetResponder("RADIO",
                          sim::KenwoodResponder({{"FA", "FA00014074000"}, {"ID", "ID019"}}));
        ASSERT_TRUE(server.catLink.OpenIfChanged("RADIO", 38400, 8, 'N', 1.0f));
        AppGroup one;
        one.cat = Port("G1_CAT");
        one.catEnabled = true;
        AppGroup two;
        two.cat = Port("G2_CAT");
        two.catEnabled = true;
        server.activeGroup.Store(1);
        manager.Start({{1, one}, {2, two}});
    }

    // Sends the program's bytes and returns what it got back once the
    // expected text has arrived.
    static std::string Ask(const char* device, std::string_view bytes, std::string_view expected) {
        sim::Feed(device, bytes);
        EXPECT_TRUE(sim::WaitForWritten(device, expected, kBound)) << "waiting for " << expected;
        return sim::TakeWritten(device);
    }
};

TEST_F(CatRelayTest, EveryGroupReadsTheRadioAndOnlyTheActiveOneChangesIt) {
    EXPECT_EQ(log.Out(),
              (std::vector<std::string>{"[relay] CAT relay started for group 1 on G1_CAT\n",
                                        "[relay] CAT relay started for group 2 on G2_CAT\n"}));

    EXPECT_EQ(Ask("G2_CAT", "fa;", "FA"), "FA00014074000;");
    // A set command from the inactive group is dropped without an answer.
    EXPECT_EQ(Ask("G2_CAT", "FA00007000000;FA;", "FA"), "FA00014074000;");
    // From the active group, lower case and all, it reaches the radio.
    EXPECT_EQ(Ask("G1_CAT", "fa00007000000;id;fa;", "FA"), "ID019;FA00007000000;");
    EXPECT_EQ(Ask("G2_CAT", "FA;", "FA"), "FA00007000000;");
    EXPECT_EQ(sim::Written("RADIO").find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);

    // After AG makes group 2 active, its set commands go through.
    server.activeGroup.Store(2);
    EXPECT_EQ(Ask("G2_CAT", "FA00003500000;FA;", "FA"), "FA00003500000;");
}

TEST_F(CatRelayTest, LoneSemicolonIsIgnoredAndSilenceEndsACommand) {
    sim::TakeWritten("RADIO");
    EXPECT_EQ(Ask("G1_CAT", ";ID;", "ID"), "ID019;");
    EXPECT_EQ(sim::TakeWritten("RADIO"), "ID;");

    // "FA" and then nothing: after 500 ms of silence it is handled as FA.
    const auto sent = Clock::now();
    EXPECT_EQ(Ask("G1_CAT", "FA", "FA"), "FA00014074000;");
    EXPECT_GE(MsSince(sent), 400);
    // The late ";" is an empty command.
    sim::Feed("G1_CAT", ";");
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(sim::Written("G1_CAT"), "");
    EXPECT_EQ(sim::TakeWritten("RADIO"), "FA;");
}

TEST_F(CatRelayTest, QueriesAreAnsweredEvenWhenTheRadioCannot) {
    sim::SetResponder("RADIO", [](std::string_view) { return std::string(); });
    EXPECT_EQ(Ask("G2_CAT", "ID;", "?;"), "?;");

    server.catLink.Close();
    const auto sent = Clock::now();
    EXPECT_EQ(Ask("G1_CAT", "FA;", "?;"), "?;");
    EXPECT_LT(MsSince(sent), kBound.count());
    // A set command gets no answer, closed port or not.
    sim::Feed("G1_CAT", "FA00014074000;");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sim::Written("G1_CAT"), "");
}

}  // namespace
}  // namespace brinmoor
