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

TEST_F(RadioSimTest, AnswersQueriesAndKeepsSettings) {
    StartSimulator({"--id", "021"});
    EXPECT_EQ(slavePath.rfind("/dev/", 0), 0u) << slavePath;

    EXPECT_EQ(Ask("ID;"), "ID021;");
    EXPECT_EQ(Ask("FA;"), "FA00014074000;");
    EXPECT_EQ(Ask("FB;"), "FB00007074000;");
    Send("FA00007010500;");
    EXPECT_EQ(Ask("FA;"), "FA00007010500;");
    EXPECT_EQ(Ask("IF;").rfind("IF00007010500", 0), 0u);
    EXPECT_EQ(Ask("PC;"), "PC100;");
    Send("PC050;MD3;");
    EXPECT_EQ(Ask("PC;"), "PC050;");
    EXPECT_EQ(Ask("MD;"), "MD3;");
    // A Kenwood: bare codes read, the same codes with digits set silently.
    EXPECT_EQ(Ask("NB;"), "NB0;");
    Send("MD1;NR1;PA1;NB1;AG0150;");
    EXPECT_EQ(Ask("MD;"), "MD1;");
    EXPECT_EQ(Ask("NR;"), "NR1;");
    EXPECT_EQ(Ask("PA;"), "PA1;");
    EXPECT_EQ(Ask("NB;"), "NB1;");
    EXPECT_EQ(Ask("AG0;"), "AG0150;");
    EXPECT_EQ(Ask("SM0;"), "SM00000;");
    EXPECT_EQ(Ask("RM5;"), "?;");

    // As a real radio: case matters, refused commands get "?;", line ends
    // and blanks between commands are ignored.
    EXPECT_EQ(Ask("ZZ;"), "?;");
    EXPECT_EQ(Ask("fa;"), "?;");
    EXPECT_EQ(Ask("FA123;"), "?;");
    EXPECT_EQ(Ask("\r\n  ID;"), "ID021;");

    // Several commands in one write are answered in order; "TX;" keys a
    // Kenwood and "RX;" unkeys it, as the TX/RX digit of "IF;" shows.
    Send("ID;TX;AI;");
    EXPECT_EQ(Receive(), "ID021;");
    EXPECT_EQ(Receive(), "AI0;");
    EXPECT_EQ(Ask("IF;").substr(28, 1), "1");
    Send("RX;");
    EXPECT_EQ(Ask("IF;").substr(28, 1), "0");

    EXPECT_EQ(Control("quit"), "ok");
    EXPECT_EQ(simulator.Wait(3s), 0);
}

TEST_F(RadioSimTest, ControlLinesSteerTheRadio) {
    // Four digits: "TX;" reads the state, a digit after MD picks a receiver.
    StartSimulator({"--id", "0570", "--meter", "50"});
    EXPECT_EQ(Ask("RM5;"), "RM5050;");
    Send("MD03;");
    EXPECT_EQ(Ask("MD0;"), "MD03;");
    EXPECT_EQ(Ask("NR0;"), "NR00;");

    EXPECT_EQ(Control("tx on"), "ok");
    EXPECT_EQ(Ask("TX;"), "TX2;");
    EXPECT_EQ(Control("meter 200"), "ok");
    EXPECT_EQ(Ask("RM5;"), "RM5200;");
    EXPECT_EQ(Control("tx off"), "ok");
    EXPECT_EQ(Ask("TX;"), "TX0;");

    // The CAT commands key and unkey it too.
    Send("TX1;");
    EXPECT_EQ(Ask("TX;"), "TX2;");
    Send("RX;");
    EXPECT_EQ(Ask("TX;"), "TX0;");

    EXPECT_EQ(Control("question on"), "ok");
    EXPECT_EQ(Ask("FA;"), "?;");
    EXPECT_EQ(Control("question off"), "ok");
    EXPECT_EQ(Control("silent on"), "ok");
    Send("ID;");
    EXPECT_EQ(Receive(300ms), "");
    EXPECT_EQ(Control("silent off"), "ok");
    EXPECT_EQ(Ask("ID;"), "ID0570;");

    EXPECT_EQ(Control("delay 300"), "ok");
    Send("ID;");
    EXPECT_EQ(Receive(100ms), "") << "answered before its delay";
    EXPECT_EQ(Receive(), "ID0570;");
    EXPECT_EQ(Control("delay 0"), "ok");

    EXPECT_EQ(Control("send FA00003573000;"), "ok");
    EXPECT_EQ(Receive(), "FA00003573000;");
    // Every command above, the unanswered one too; what "send" wrote is none.
    EXPECT_EQ(Control("count"), "count 15");

    EXPECT_EQ(Control("meter 1000").rfind("error:", 0), 0u);
    EXPECT_EQ(Control("jump").rfind("error:", 0), 0u);
}

TEST_F(RadioSimTest, AutoInformationReportsWhileAiIsOn) {
    StartSimulator({"--auto-info", "50"});
    EXPECT_EQ(Receive(300ms), "") << "no reports while AI is 0";

    Send("AI1;");
    EXPECT_EQ(Receive(), "FA00014074000;");
    EXPECT_EQ(Receive().rfind("IF00014074000", 0), 0u);
    EXPECT_EQ(Receive(), "FA00014074000;") << "the reports repeat";

    Send("AI0;");
    usleep(200 * 1000);
    tcflush(fd, TCIFLUSH);
    received.clear();
    EXPECT_EQ(Receive(300ms), "") << "reports stop with AI0";
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
