// The radio's state follows the traffic on the CAT link: answers, reports the
// radio sends while a query waits, and stale input drained before a command,
// in the dialect the radio speaks; and the link's own state.
#include "radio/radio_state.h"

#include <gtest/gtest.h>

#include "radio/cat_link_fixture.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::CatLinkTest;

// Answers as the given radio would, each after the reports queued before it.
void Radio(const std::string& name, std::map<std::string, std::string> answers,
           std::string before = {}) {
    auto radio = sim::KenwoodResponder(std::move(answers));
    sim::SetResponder(name, [radio, before](std::string_view written) {
        return before + radio(written);
    });
}

TEST_F(CatLinkTest, StateFollowsAnswersReportsAndDrainedInputOfAThreeDigitRadio) {
    ASSERT_TRUE(Open());
    EXPECT_EQ(link.State().Snapshot().link, RadioLinkState::Open);
    // The radio's own reports come before the answer: both count.
    Radio(name, {{"ID", "ID019"}, {"FA", "FA00014074000"}}, "FB00007074000;MD3;");
    AnnounceRadioId(link, name);
    EXPECT_EQ(link.CatTransaction("FA").answer, "FA00014074000");
    RadioSnapshot state = link.State().Snapshot();
    EXPECT_EQ(state.id, "ID019");
    EXPECT_EQ(state.dialect, RadioDialect::ThreeDigit019);
    EXPECT_EQ(state.vfoA, 14074000u);
    EXPECT_EQ(state.vfoB, 7074000u);
    EXPECT_EQ(state.mode, "3");
    EXPECT_FALSE(state.transmitting.has_value());
    ASSERT_TRUE(state.lastHeard.has_value());
    const std::uint64_t changes = state.changes;

    // Sent of its own accord between commands: drained before the next one.
    sim::Feed(name, "IF00021074000     +000000000120000000;");
    ASSERT_TRUE(sim::WaitUntil([&] { return sim::Unread(name) > 0; }, 5s));
    Radio(name, {});
    link.CatTransaction("FA14074000");
    state = link.State().Snapshot();
    EXPECT_EQ(state.vfoA, 21074000u);
    EXPECT_EQ(state.mode, "2");
    EXPECT_EQ(state.transmitting, true);
    EXPECT_EQ(state.lastIf, "IF00021074000     +000000000120000000");
    EXPECT_GT(state.changes, changes);
}

TEST_F(CatLinkTest, StateReadsTheFourDigitDialectAndTheLinksLoss) {
    ASSERT_TRUE(Open());
    Radio(name, {{"ID", "ID0570"},
                 {"FA", "FA014074000"},
                 {"MD0", "MD0C"},
                 {"MD1", "MD13"},
                 {"TX", "TX2"},
                 {"IF", "IF001014070000+000000C00000"}});
    AnnounceRadioId(link, name);
    for (const char* query : {"FA", "MD0", "MD1", "TX"}) link.CatTransaction(query);
    RadioSnapshot state = link.State().Snapshot();
    EXPECT_EQ(state.dialect, RadioDialect::FourDigit);
    EXPECT_EQ(state.vfoA, 14074000u);
    EXPECT_EQ(state.frequencyDigits, 9u);
    EXPECT_EQ(state.mode, "C");  // the sub receiver's mode is not the radio's
    EXPECT_EQ(state.transmitting, true);
    EXPECT_EQ(FrequencyMessage('A', 7074000, state.frequencyDigits), "FA007074000");
    EXPECT_EQ(ModeMessage("C", state.dialect), "MD0C");
    link.CatTransaction("IF");  // this dialect's own layout
    EXPECT_EQ(link.State().Snapshot().vfoA, 14070000u);

    const auto before = std::chrono::steady_clock::now();
    sim::Vanish(name);
    link.CatTransaction("FA");
    state = link.State().Snapshot();
    EXPECT_EQ(state.link, RadioLinkState::Lost);
    EXPECT_GE(state.lostSince, before);
    link.Close();
    EXPECT_EQ(link.State().Snapshot().link, RadioLinkState::Closed);
}

}  // namespace
}  // namespace brinmoor
