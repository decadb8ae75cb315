#include "radio/serial_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "support/sim_serial_device.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        sim::CreateDevice("COM3");
        sim::CreateDevice("COM4");
    }
    void TearDown() override { sim::Reset(); }

    // Opens COM3 at 38400 8N1.
    void OpenCom3() { ASSERT_TRUE(port.Open("COM3", 38400, 8, 'N', 1.0f)); }

    SerialPort port;
};

TEST_F(SerialPortTest, OpenConvertsTheSettingsOfAPortEntry) {
    struct Case {
        char parity;
        float stopBits;
        SerialParity wantParity;
        SerialStopBits wantStop;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<Case> cases = {
        {'e', 1.5f, SerialParity::Even, SerialStopBits::OneAndHalf},
        {'E', 1.89f, SerialParity::Even, SerialStopBits::OneAndHalf},
        {'o', 1.9f, SerialParity::Odd, SerialStopBits::Two},
        {'M', 2.0f, SerialParity::Mark, SerialStopBits::Two},
        {'s', 1.39f, SerialParity::Space, SerialStopBits::One},
        {'X', 1.0f, SerialParity::None, SerialStopBits::One},
        {'n', nan, SerialParity::None, SerialStopBits::One},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("parity ") + c.parity + " stop bits " +
                     std::to_string(c.stopBits));
        ASSERT_TRUE(port.Open("COM3", 4800, 7, c.parity, c.stopBits));
        auto settings = sim::LastSettings("COM3");
        ASSERT_TRUE(settings.has_value());
        EXPECT_EQ(settings->baud, 4800u);
        EXPECT_EQ(settings->dataBits, 7);
        EXPECT_EQ(settings->parity, c.wantParity);
        EXPECT_EQ(settings->stopBits, c.wantStop);
    }
    // Only the low byte of the data bits reaches the device.
    ASSERT_TRUE(port.Open("COM3", 45, 0x108, 'N', 1.0f));
    EXPECT_EQ(sim::LastSettings("COM3")->dataBits, 8);
    EXPECT_EQ(sim::LastSettings("COM3")->baud, 45u);
}

TEST_F(SerialPortTest, OpenStartsWithLinesDroppedAndQueuesPurged) {
    OpenCom3();
    port.SetDtr(true);
    port.SetRts(true);
    ASSERT_TRUE(sim::Dtr("COM3"));
    ASSERT_TRUE(sim::Rts("COM3"));

    // A reopen releases the old handle first, so the exclusive open succeeds.
    ASSERT_TRUE(port.Open("COM3", 9600, 8, 'N', 1.0f));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_FALSE(sim::Dtr("COM3"));
    EXPECT_FALSE(sim::Rts("COM3"));
    EXPECT_EQ(sim::OpenCount("COM3"), 2);
    EXPECT_EQ(sim::CloseCount("COM3"), 1);
    EXPECT_EQ(sim::PurgeCount("COM3"), 2);
}

TEST_F(SerialPortTest, FailedOpenLeavesThePortClosedAndReleased) {
    OpenCom3();
    port.SetDtr(true);
    EXPECT_FALSE(port.Open("COM9", 38400, 8, 'N', 1.0f));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(sim::IsHeld("COM3"));
    EXPECT_FALSE(sim::Dtr("COM3"));

    // The device is exclusive: a second port cannot open it while one holds it.
    OpenCom3();
    SerialPort other;
    EXPECT_FALSE(other.LockedOpen("COM3", 38400, 8, 'N', 1.0f));
    EXPECT_FALSE(other.IsOpen());
    port.LockedClose();
    EXPECT_TRUE(other.LockedOpen("COM3", 38400, 8, 'N', 1.0f));
}

TEST_F(SerialPortTest, ClosedPortDoesNothingAndAnswersAtOnce) {
    const auto start = Clock::now();
    EXPECT_FALSE(port.Write("FA;"));
    EXPECT_FALSE(port.LockedWrite("FA;"));
    EXPECT_EQ(port.ReadUntil(';', 500), "");
    // A budget of 10 s passes in quick rounds: nothing waits on a closed port.
    EXPECT_EQ(port.ReadCount(10, 10000), "");
    EXPECT_LT(MsSince(start), 400);
    EXPECT_FALSE(port.IsDsrOn());
    EXPECT_EQ(port.InputQueueLength(), 0u);
    port.SetDtr(true);
    port.SetRts(true);
    port.DiscardInput();
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, LinesWritesAndQueueReachTheDevice) {
    OpenCom3();
    port.SetDtr(true);
    EXPECT_TRUE(sim::Dtr("COM3"));
    EXPECT_FALSE(sim::Rts("COM3"));
    port.SetRts(true);
    port.SetDtr(false);
    EXPECT_FALSE(sim::Dtr("COM3"));
    EXPECT_TRUE(sim::Rts("COM3"));

    EXPECT_FALSE(port.IsDsrOn());
    sim::SetDsr("COM3", true);
    EXPECT_TRUE(port.IsDsrOn());

    EXPECT_TRUE(port.Write("FA;"));
    EXPECT_TRUE(port.LockedWrite("ID;"));
    EXPECT_TRUE(port.Write(""));
    EXPECT_EQ(sim::TakeWritten("COM3"), "FA;ID;");

    sim::Feed("COM3", "IF;");
    EXPECT_EQ(port.InputQueueLength(), 3u);

    // Close drops both lines before letting go.
    port.Close();
    EXPECT_FALSE(sim::Rts("COM3"));
    EXPECT_FALSE(sim::IsHeld("COM3"));
}

TEST_F(SerialPortTest, ReadUntilReturnsAPartialMessageAfterTheIdleTimeOut) {
    OpenCom3();
    sim::Feed("COM3", "FA123");
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadUntil(';', 500), "FA123");
    // Ten empty 50-ms reads in a row after the last byte.
    EXPECT_GE(MsSince(start), 450);
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_EQ(sim::LastReadTimeout("COM3"), kSerialPollMs);
}

// A silent port is waited on in one read of the whole idle time-out; once a
// message has begun, the time-out counts from its last byte.
TEST_F(SerialPortTest, ReadUntilWaitsForTheFirstByteInOneRead) {
    OpenCom3();
    auto start = Clock::now();
    EXPECT_EQ(port.ReadUntil(';', 500), "");
    EXPECT_GE(MsSince(start), 450);
    EXPECT_EQ(sim::LastReadTimeout("COM3"), 500);

    sim::Feed("COM3", "FA1", 300ms);
    start = Clock::now();
    EXPECT_EQ(port.ReadUntil(';', 500), "FA1");
    EXPECT_GE(MsSince(start), 300 + 450);
    EXPECT_LT(MsSince(start), 4000);
    EXPECT_EQ(sim::LastReadTimeout("COM3"), kSerialPollMs);
}

TEST_F(SerialPortTest, ReadUntilStopsAtTheFirstTerminatorAndJoinsPieces) {
    OpenCom3();
    sim::Feed("COM3", "FA1;FB2;");
    EXPECT_EQ(port.ReadUntil(';', 500), "FA1");
    EXPECT_EQ(sim::Unread("COM3"), 4u);
    EXPECT_EQ(port.ReadUntil(';', 500), "FB2");

    // A gap shorter than the idle time-out does not end the message.
    sim::Feed("COM3", "FA00014");
    sim::Feed("COM3", "074000;", 300ms);
    EXPECT_EQ(port.ReadUntil(';', 500), "FA00014074000");

    // No idle time at all: nothing is read.
    sim::Feed("COM3", "ID;");
    EXPECT_EQ(port.ReadUntil(';', 0), "");
    EXPECT_EQ(sim::Unread("COM3"), 3u);
}

TEST_F(SerialPortTest, ReadUntilStopsCollectingAtTheMessageBound) {
    OpenCom3();
    // A device that streams without ever sending the terminator.
    sim::Feed("COM3", std::string(kMaxSerialMessage + 900, 'x') + ";");
    const std::string first = port.ReadUntil(';', 500);
    EXPECT_EQ(first.size(), kMaxSerialMessage);
    EXPECT_EQ(sim::Unread("COM3"), 901u);
    EXPECT_EQ(port.ReadUntil(';', 500), std::string(900, 'x'));
}

TEST_F(SerialPortTest, ReadCountStopsAtCountOrBudget) {
    OpenCom3();
    // A count of 0 does not touch the port.
    sim::Feed("COM3", "abcdef");
    EXPECT_EQ(port.ReadCount(0, 1000), "");
    EXPECT_EQ(port.ReadCount(-3, 1000), "");
    EXPECT_EQ(sim::LastReadTimeout("COM3"), -1);
    EXPECT_EQ(sim::Unread("COM3"), 6u);

    EXPECT_EQ(port.ReadCount(4, 1000), "abcd");
    EXPECT_EQ(port.ReadCount(4, 100), "ef");

    // A silent port with a budget of 100: two empty reads.
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadCount(8, 100), "");
    EXPECT_GE(MsSince(start), 80);
    EXPECT_LT(MsSince(start), 2000);
}

TEST_F(SerialPortTest, ReadCountBudgetIsNotResetByBytesArrivingSlowly) {
    OpenCom3();
    // Twenty bytes 80 ms apart would take 1.6 s; the empty reads between them
    // use up a 300-ms budget long before.
    for (int i = 1; i <= 20; ++i) sim::Feed("COM3", "k", i * 80ms);
    const auto start = Clock::now();
    const std::string got = port.ReadCount(20, 300);
    EXPECT_LT(got.size(), 20u);
    EXPECT_LT(MsSince(start), 1500);
}

TEST_F(SerialPortTest, DiscardInputDropsWhatHasArrivedOnly) {
    OpenCom3();
    sim::Feed("COM3", "FA00014074000;IF;");
    sim::Feed("COM3", "late;", 400ms);
    port.DiscardInput();
    EXPECT_EQ(sim::Unread("COM3"), 5u);
    EXPECT_EQ(sim::LastReadTimeout("COM3"), 10);
    EXPECT_EQ(port.ReadUntil(';', 1000), "late");

    // A device that has piled up more than a message's worth: one call stops
    // at the bound instead of chasing the stream.
    sim::Feed("COM3", std::string(3 * kMaxSerialMessage, 'x'));
    port.DiscardInput();
    EXPECT_EQ(sim::Unread("COM3"), 2 * kMaxSerialMessage);
}

TEST_F(SerialPortTest, VanishedDeviceFailsWithoutSpinning) {
    OpenCom3();
    port.SetDtr(true);
    sim::Vanish("COM3");
    EXPECT_FALSE(port.DeviceGone());

    auto start = Clock::now();
    EXPECT_EQ(port.ReadUntil(';', 200), "");
    EXPECT_GE(MsSince(start), 160);  // four full 50-ms reads, no quick returns
    EXPECT_TRUE(port.DeviceGone());

    start = Clock::now();
    EXPECT_EQ(port.ReadCount(5, 200), "");
    EXPECT_GE(MsSince(start), 160);

    EXPECT_FALSE(port.Write("FA;"));
    EXPECT_FALSE(port.IsDsrOn());
    EXPECT_EQ(port.InputQueueLength(), 0u);
    EXPECT_TRUE(port.IsOpen());  // the handle stays until the holder closes it

    // Plugged in again: a new open works and the port is fresh.
    EXPECT_FALSE(port.Open("COM3", 38400, 8, 'N', 1.0f));
    sim::Reappear("COM3");
    OpenCom3();
    EXPECT_FALSE(port.DeviceGone());
    sim::Feed("COM3", "ID019;");
    EXPECT_EQ(port.ReadUntil(';', 500), "ID019");
}

TEST_F(SerialPortTest, ScriptedRadioAnswersQueriesOverThePort) {
    OpenCom3();
    sim::SetResponder("COM3", sim::KenwoodResponder({{"FA", "FA00014074000"}, {"ID", "ID019"}}));
    ASSERT_TRUE(port.Write("FA;"));
    EXPECT_TRUE(sim::WaitForWritten("COM3", "FA;", 1000ms));
    EXPECT_EQ(port.ReadUntil(';', 500), "FA00014074000");

    // A set command changes what the query reports and is not answered.
    ASSERT_TRUE(port.Write("FA00007000000;"));
    EXPECT_EQ(port.InputQueueLength(), 0u);
    // Commands may come in pieces; unknown ones are refused.
    ASSERT_TRUE(port.Write("F"));
    ASSERT_TRUE(port.Write("A;XX;ID;"));
    EXPECT_EQ(port.ReadUntil(';', 500), "FA00007000000");
    EXPECT_EQ(port.ReadUntil(';', 500), "?");
    EXPECT_EQ(port.ReadUntil(';', 500), "ID019");
    EXPECT_EQ(sim::TakeWritten("COM3"), "FA;FA00007000000;FA;XX;ID;");
    EXPECT_EQ(sim::Written("COM3"), "");
}

TEST_F(SerialPortTest, DestroyingAnOpenPortReleasesTheDevice) {
    {
        SerialPort scoped;
        ASSERT_TRUE(scoped.Open("COM4", 38400, 8, 'N', 1.0f));
        scoped.SetRts(true);
    }
    EXPECT_FALSE(sim::IsHeld("COM4"));
    EXPECT_FALSE(sim::Rts("COM4"));
}

TEST_F(SerialPortTest, LockedOperationsFromSeveralThreads) {
    // A WinKey-style port: one thread reads while others write and reopen.
    OpenCom3();
    sim::SetResponder("COM3", [](std::string_view written) { return std::string(written); });
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> received{0};
    std::thread reader([&] {
        while (!stop) received += port.ReadCount(16, 50).size();
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < 20; ++i) port.LockedWrite("ab");
        });
    }
    for (auto& writer : writers) writer.join();
    for (int i = 0; i < 250 && received < 80; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(port.LockedOpen("COM3", 38400, 8, 'N', 1.0f));
    port.LockedClose();
    stop = true;
    reader.join();
    EXPECT_EQ(received.load(), 80u);
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
}  // namespace brinmoor
