// brinmoor-radiosim as the system tests and people use it: a radio on a
// pseudo-terminal, steered by control lines on its standard input.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/posix/process.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;

const std::string simulatorPath = BRINMOOR_BINARY_DIR "/tools/radiosim/brinmoor-radiosim";

// The simulator started with the options, and the test's end of its terminal.
class RadioSimTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (fd >= 0) close(fd);
    }

    void StartSimulator(std::vector<std::string> options) {
        options.insert(options.begin(), simulatorPath);
        std::string error;
        ASSERT_TRUE(simulator.Start(options, {}, &error)) << error;
        const auto path = simulator.ReadLine(5s);
        ASSERT_TRUE(path.has_value()) << "no terminal path on standard output";
        slavePath = *path;
        fd = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0) << slavePath;
        termios settings{};
        ASSERT_EQ(tcgetattr(fd, &settings), 0);
        cfmakeraw(&settings);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    }

    void Send(const std::string& bytes) {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // The next message up to and including its ";", or what arrived before
    // the time-out.
    std::string Receive(std::chrono::milliseconds timeout = 2000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (received.find(';') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
            char chunk[4096];
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) break;
            received.append(chunk, n);
        }
        const auto end = received.find(';');
        const auto length = end == std::string::npos ? received.size() : end + 1;
        std::string message = received.substr(0, length);
        received.erase(0, length);
        return message;
    }

    std::string Ask(const std::string& command) {
        Send(command);
        return Receive();
    }

    std::string Control(const std::string& line) {
        EXPECT_TRUE(simulator.Write(line + "\n"));
        return simulator.ReadLine(2s).value_or("(no reply)");
    }

    ChildProcess simulator;
    std::string slavePath;
    int fd = -1;
    std::string received;
};

// What is sent, and the message that comes back first ("" for none): a
// Kenwood reads bare codes and sets the same codes with digits silently, is
// case-sensitive, refuses with "?;" and ignores line ends between commands.
struct Exchange {
    std::string send;
    std::string reply;
};

TEST_F(RadioSimTest, AnswersLikeAThreeDigitKenwood) {
    StartSimulator({"--id", "021", "--auto-info", "50"});
    const Exchange exchanges[] = {
        {"ID;", "ID021;"},          {"FB;", "FB00007074000;"}, {"FA00007010500;FA;", "FA00007010500;"},
        {"PC;", "PC100;"},          {"NB;", "NB0;"},           {"MD1;NR1;PA1;NB1;AG0150;MD;", "MD1;"},
        {"NR;", "NR1;"},            {"PA;", "PA1;"},           {"AG0;", "AG0150;"},
        {"SM0;", "SM00000;"},       {"RM5;", "?;"},            {"ZZ;", "?;"},
        {"fa;", "?;"},              {"FA123;", "?;"},          {"\r\n  ID;", "ID021;"},
        {"ID;TX;AI;", "ID021;"},    {"", "AI0;"},
    };
    for (const Exchange& e : exchanges) {
        if (!e.send.empty()) Send(e.send);
        EXPECT_EQ(Receive(), e.reply) << e.send;
    }
    // "TX;" keys it and "RX;" unkeys it, as the TX/RX digit of "IF;" shows.
    EXPECT_EQ(Ask("IF;").substr(28, 1), "1");
    Send("RX;");
    EXPECT_EQ(Ask("IF;").substr(28, 1), "0");
    // With AI1 it reports its frequency by itself.
    Send("AI1;");
    EXPECT_EQ(Receive(), "FA00007010500;");
    EXPECT_EQ(Control("quit"), "ok");
    EXPECT_EQ(simulator.Wait(3s), 0);
}

TEST_F(RadioSimTest, ControlLinesSteerAFourDigitRadio) {
    // Four digits: "TX;" reads the state, a digit after MD picks a receiver.
    StartSimulator({"--id", "0570", "--meter", "50"});
    const struct {
        std::string control;  // first, when not empty
        Exchange exchange;
    } steps[] = {
        {"", {"RM5;", "RM5050;"}},       {"", {"MD03;MD0;", "MD03;"}},
        {"", {"NR0;", "NR00;"}},         {"tx on", {"TX;", "TX2;"}},
        {"meter 200", {"RM5;", "RM5200;"}}, {"tx off", {"TX;", "TX0;"}},
        {"", {"TX1;TX;", "TX2;"}},       {"", {"RX;TX;", "TX0;"}},
        {"question on", {"FA;", "?;"}},  {"question off", {"ID;", "ID0570;"}},
        {"silent on", {"ID;", ""}},      {"silent off", {"ID;", "ID0570;"}},
        {"send FA00003573000;", {"", "FA00003573000;"}},
    };
    for (const auto& step : steps) {
        if (!step.control.empty()) {
            EXPECT_EQ(Control(step.control), "ok");
        }
        if (!step.exchange.send.empty()) Send(step.exchange.send);
        EXPECT_EQ(Receive(step.exchange.reply.empty() ? 300ms : 2000ms), step.exchange.reply)
            << step.control << " " << step.exchange.send;
    }
    EXPECT_EQ(Control("delay 300"), "ok");
    Send("ID;");
    EXPECT_EQ(Receive(100ms), "") << "answered before its delay";
    EXPECT_EQ(Receive(), "ID0570;");
    // Every command above, the unanswered ones too; what "send" wrote is none.
    EXPECT_EQ(Control("count"), "count 16");
    EXPECT_EQ(Control("meter 1000").rfind("error:", 0), 0u);
    EXPECT_EQ(Control("jump").rfind("error:", 0), 0u);
}

TEST_F(RadioSimTest, SurvivesGarbageAndCleansUpItsLink) {
    char folder[] = "/tmp/brinmoor-radiosim-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::filesystem::path link = std::filesystem::path(folder) / "radio";
    std::filesystem::create_symlink("/nonexistent", link);  // a stale link is replaced
    StartSimulator({"--link", link.string()});
    EXPECT_EQ(std::filesystem::read_symlink(link), slavePath);

    // An endless command is thrown away up to its ";"; control bytes and
    // stray separators do no harm.
    Send(std::string(10000, 'x') + ";" + std::string("\x01\xff\0;;", 5) + "ID;");
    EXPECT_EQ(Receive(), "?;");
    EXPECT_EQ(Receive(), "ID019;");

    // Standard input closing does not end it; the clients' terminal may
    // close and reopen.
    simulator.CloseStdin();
    close(fd);
    fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask("ID;"), "ID019;");

    EXPECT_TRUE(simulator.Signal(SIGTERM));
    EXPECT_EQ(simulator.Wait(3s), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace brinmoor
