// Client sessions of the real server with the simulator on the CAT port: the
// end of a session, ERR replies and set commands. Framing and the radio's own
// reports are tested in process (tests/server, tests/radio).
#include <string>

#include "support/posix/station.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::kFrequency;

using SessionSystemTest = test::StationTest;

TEST_F(SessionSystemTest, QuitEndsTheSessionBeforeTheNextFrameAndLogsTheTotals) {
    ASSERT_NO_FATAL_FAILURE(StartStation({"--log"}));
    radio.LogLines(700ms);
    control->Send("QUIT;FA;");
    EXPECT_EQ(control->ReadUntil("never", 3s), "QUIT_OK;");
    EXPECT_TRUE(control->WaitClosed());
    EXPECT_TRUE(server.WaitOut("[brinmoor] Shutting down."));
    const auto totals = server.WaitOut("[brinmoor] CAT link: ");
    EXPECT_EQ(server.Wait(), 0);
    const auto received = radio.CommandCount();
    ASSERT_TRUE(totals && received);
    EXPECT_EQ(*totals, "[brinmoor] CAT link: " + std::to_string(*received) +
                           " commands written to the radio, 0 answers shared.");
    for (const std::string& line : radio.LogLines(300ms)) {
        EXPECT_EQ(line.find("rx FA;"), std::string::npos) << line;
    }
}

TEST_F(SessionSystemTest, ErrRepliesAndUnansweredSetCommands) {
    ASSERT_NO_FATAL_FAILURE(StartStation({}, {}, false));
    // No CAT port: a query gets ERR, a set command nothing; "quit" in lower
    // case is a CAT command, not QUIT.
    EXPECT_EQ(control->Ask("FA;"), "ERRFA;");
    control->Send("FA00007074000;quit;");
    EXPECT_EQ(control->ReadFor(300ms), "");

    ASSERT_EQ(control->Ask(test::CatCfg(radio.Path())), "CFG_OK;");
    control->Send("FA00007074000;");
    EXPECT_EQ(control->Ask("FA;"), "FA00007074000;") << "a set command is never acknowledged";
    // The radio refuses with "?;", or says nothing at all.
    EXPECT_EQ(control->Ask("BY;"), "ERRBY;");
    for (const char* fault : {"question", "silent"}) {
        ASSERT_TRUE(radio.Control(std::string(fault) + " on"));
        EXPECT_EQ(control->Ask("FA;"), "ERRFA;") << fault;
        ASSERT_TRUE(radio.Control(std::string(fault) + " off"));
    }
    EXPECT_EQ(control->Ask("FA;"), "FA00007074000;");
}

}  // namespace
}  // namespace brinmoor
