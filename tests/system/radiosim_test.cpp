// brinmoor-radiosim must behave like the radio it claims to be: a simulator
// kinder than the radio would hide the server's faults.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/posix/server_process.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;

// The simulator, and a program's end of its terminal.
class RadioSimTest : public ::testing::Test {
  protected:
    ~RadioSimTest() override { close(fd); }

    void StartSimulator(const std::vector<std::string>& options) {
        ASSERT_TRUE(sim.Start(options));
        fd = open(sim.Path().c_str(), O_RDWR | O_NOCTTY);
        termios settings{};
        ASSERT_EQ(tcgetattr(fd, &settings), 0) << sim.Path();
        cfmakeraw(&settings);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    }

    // Sends the bytes, then returns the next message up to its ";" (or what
    // arrived before the time-out).
    std::string Ask(const std::string& bytes, std::chrono::milliseconds timeout = 2000ms) {
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char chunk[4096];
        for (pollfd ready{fd, POLLIN, 0}; received.find(';') == std::string::npos;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) break;
            received.append(chunk, n);
        }
        const auto end = received.find(';');
        std::string message = received.substr(0, end == std::string::npos ? end : end + 1);
        received.erase(0, message.size());
        return message;
    }

    test::RadioSim sim;
    int fd = -1;
    std::string received;
};

// A control line sent first (when not empty), what the program sends, and the
// message that comes back first ("" for none).
struct Step {
    std::string control;
    std::string send;
    std::string reply;
};

// A three-digit radio reads bare codes and sets the same codes with digits
// silently; it is case-sensitive, refuses with "?;", ignores line ends
// between commands and throws an endless command away up to its ";".
TEST_F(RadioSimTest, AnswersLikeAThreeDigitRadio) {
    StartSimulator({"--id", "021", "--auto-info", "50"});
    const Step steps[] = {
        {"", "ID;", "ID021;"},          {"", "FB;", "FB00007074000;"},
        {"", "FA00007010500;FA;", "FA00007010500;"}, {"", "PC;", "PC100;"},
        {"", "MD1;NR1;PA1;NB1;AG0150;MD;", "MD1;"},  {"", "NR;", "NR1;"},
        {"", "PA;", "PA1;"},            {"", "NB;", "NB1;"},
        {"", "AG0;", "AG0150;"},        {"", "SM0;", "SM00000;"},
        {"", "RM5;", "?;"},             {"", "ZZ;", "?;"},
        {"", "fa;", "?;"},              {"", "FA123;", "?;"},
        {"", "\r\n  ID;", "ID021;"},
        {"", std::string(10000, 'x') + ";" + std::string("\x01\xff\0;;ID;", 8), "?;"},
        {"", "", "ID021;"},
        {"", "AI;", "AI0;"},
    };
    for (const Step& step : steps) EXPECT_EQ(Ask(step.send), step.reply) << step.send;
    // "TX;" keys it and "RX;" unkeys it, as the TX/RX digit of IF shows.
    EXPECT_EQ(Ask("TX;IF;").substr(28, 1), "1");
    EXPECT_EQ(Ask("RX;IF;").substr(28, 1), "0");
    // With AI1 it reports its frequency by itself.
    EXPECT_EQ(Ask("AI1;"), "FA00007010500;");
    EXPECT_TRUE(sim.Control("quit"));
    EXPECT_EQ(sim.Process().Wait(3s), 0);
}

// Four digits: "TX;" reads the state, a digit after MD picks a receiver; the
// control lines steer what it answers.
TEST_F(RadioSimTest, ControlLinesSteerAFourDigitRadio) {
    StartSimulator({"--id", "0570", "--meter", "50"});
    const Step steps[] = {
        {"", "RM5;", "RM5050;"},      {"", "MD03;MD0;", "MD03;"},
        {"", "NR0;", "NR00;"},        {"tx on", "TX;", "TX2;"},
        {"meter 200", "RM5;", "RM5200;"}, {"tx off", "TX;", "TX0;"},
        {"", "TX1;TX;", "TX2;"},      {"", "RX;TX;", "TX0;"},
        {"question on", "FA;", "?;"}, {"question off", "ID;", "ID0570;"},
        {"silent on", "ID;", ""},     {"silent off", "ID;", "ID0570;"},
        {"send FA00003573000;", "", "FA00003573000;"},
        // Another radio behind the line: its own identity and dialect.
        {"id 021", "TX;ID;", "ID021;"},  // "TX;" keys it
        {"", "IF;", "IF00014074000     +000000000130000000;"},
        {"id 0570", "RX;TX;", "TX0;"},
    };
    for (const Step& step : steps) {
        if (!step.control.empty()) {
            EXPECT_TRUE(sim.Control(step.control)) << step.control;
        }
        EXPECT_EQ(Ask(step.send, step.reply.empty() ? 300ms : 2000ms), step.reply) << step.send;
    }
    EXPECT_TRUE(sim.Control("delay 300"));
    EXPECT_EQ(Ask("ID;", 100ms), "") << "answered before its delay";
    EXPECT_EQ(Ask("", 2000ms), "ID0570;");
    // Every command above, the unanswered ones too; what "send" wrote is none.
    EXPECT_EQ(sim.CommandCount(), 21);
    EXPECT_FALSE(sim.Control("meter 1000"));
}

}  // namespace
}  // namespace brinmoor
