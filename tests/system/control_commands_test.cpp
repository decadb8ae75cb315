// The control commands of the real server as the station's application sees
// them: CFG with its log lines and the saved file, and PW in both dialects.
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/posix/station.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::CatCfg;
using test::RadioSim;

class ControlCommandsTest : public test::StationTest {
  protected:
    std::string Status() const {
        return "PORTS{\"tcp_port\":" + std::to_string(server.Port()) + ",\"com\":\"" +
               radio.Path() + "\",\"baud\":38400,\"bits\":\"8\",\"parity\":\"none\",\"stopbits\":\"1\"};";
    }

    // Asks until the answer is the wanted one.
    bool EventuallyAnswers(const std::string& command, const std::string& wanted) {
        std::string last;
        for (const auto until = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(100ms)) {
            last = control->Ask(command);
            if (last == wanted) return true;
        }
        ADD_FAILURE() << "last answer " << last;
        return false;
    }
};

TEST_F(ControlCommandsTest, CfgOpensTheCatPortAndBadDocumentsKeepIt) {
    ASSERT_NO_FATAL_FAILURE(StartStation({}, {}, false));
    const std::string bare = "PORTS{\"tcp_port\":" + std::to_string(server.Port()) + "};";
    EXPECT_EQ(control->Ask("PORTS;"), bare);
    // Not JSON: refused as a whole, nothing saved.
    EXPECT_EQ(control->Ask("CFG{ports: {\"CAT\": {\"port\": \"" + radio.Path() + "\"}}};"),
              "CFG_OK;");
    EXPECT_TRUE(server.WaitOut("[config] Bad CFG JSON"));
    EXPECT_EQ(control->Ask("PORTS;"), bare);
    EXPECT_FALSE(std::filesystem::exists(server.SavedFile()));

    // A document that breaks off is taken as far as it goes.
    EXPECT_EQ(control->Ask("CFG {\"ports\": {\"CAT\": {\"port\": \"" + radio.Path() + "\";"),
              "CFG_OK;");
    EXPECT_TRUE(server.WaitOut("[brinmoor] CAT port " + radio.Path() + " opened. Radio ID: ID019"));
    EXPECT_EQ(control->Ask("PORTS;"), Status());
    EXPECT_TRUE(std::filesystem::exists(server.SavedFile()));

    // "NONE" in any case, an empty name and no "ports" leave the open port
    // open; a port that will not open is reported and the last good one kept.
    for (const std::string& frame : {CatCfg("NONE"), CatCfg("none"), CatCfg(""),
                                     std::string("CFG{};"), CatCfg("/dev/brinmoor-no-such")}) {
        EXPECT_EQ(control->Ask(frame), "CFG_OK;");
        EXPECT_EQ(control->Ask("FA;"), "FA00014074000;") << frame;
        EXPECT_EQ(control->Ask("PORTS;"), Status());
    }
    EXPECT_TRUE(server.WaitErr("[brinmoor] Failed to open CAT port /dev/brinmoor-no-such"));

    // A radio that does not answer its ID gets the warning.
    ASSERT_TRUE(radio.Control("silent on"));
    EXPECT_EQ(control->Ask(CatCfg(radio.Path()), 10s), "CFG_OK;");
    EXPECT_TRUE(server.WaitOut(
        "[brinmoor] WARNING: No ID response \xE2\x80\x94 check COM port and radio power"));
}

TEST_F(ControlCommandsTest, PwFollowsThePowerSettingAndTheTransmitStateInBothDialects) {
    ASSERT_NO_FATAL_FAILURE(StartStation({}, {}, false));
    struct Case {
        const char* id;
        const char* dialect;
        const char* transmitting;  // meter 200 is 88 W; a three-digit radio's meter is not read
    };
    for (const Case& c :
         {Case{"0570", "four-digit-ID dialect: transmit state read from TX", "PW2088;"},
          Case{"019", "three-digit-ID dialect: transmit state read from IF", "PW2050;"}}) {
        SCOPED_TRACE(c.id);
        RadioSim sim;
        ASSERT_TRUE(sim.Start({"--id", c.id, "--meter", "200", "--log"}));
        ASSERT_EQ(control->Ask(CatCfg(sim.Path())), "CFG_OK;");
        EXPECT_TRUE(server.WaitOut(std::string("[brinmoor] Radio speaks the ") + c.dialect));
        control->Send("PC050;");
        EXPECT_EQ(control->Ask("PC;"), "PC050;");
        EXPECT_TRUE(EventuallyAnswers("PW;", "PW0050;"));

        // Keyed at the radio, then released there.
        ASSERT_TRUE(sim.Control("tx on"));
        EXPECT_TRUE(EventuallyAnswers("PW;", c.transmitting));
        ASSERT_TRUE(sim.Control("tx off"));
        EXPECT_TRUE(EventuallyAnswers("PW;", "PW0050;"));

        // "TX;" would key a three-digit radio: the server never sends it one.
        if (std::string(c.id).size() == 3) {
            for (const std::string& line : sim.LogLines(300ms)) {
                EXPECT_NE(line.rfind("rx TX", 0), 0u) << line;
                EXPECT_NE(line.rfind("rx RM", 0), 0u) << line;
            }
        }
    }
    // Back to the fixture's radio before the simulators go.
    ASSERT_EQ(control->Ask(CatCfg(radio.Path())), "CFG_OK;");
}

}  // namespace
}  // namespace brinmoor
