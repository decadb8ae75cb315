// The serial port, and the keying lines (PTT, CW) driven through it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "radio/keying_line.h"
#include "radio/serial_port.h"
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
        for (const char* device : {"COM3", "COM5", "COM6"}) sim::CreateDevice(device);
    }
    void TearDown() override { sim::Reset(); }

    void OpenCom3() { ASSERT_TRUE(port.Open("COM3", 38400, 8, 'N', 1.0f)); }
    static std::shared_ptr<KeyingLine> OwnLine(const std::string& port, std::string_view lineName) {
        auto line = std::make_shared<KeyingLine>();
        EXPECT_TRUE(line->OpenOwn(port, 38400, 8, 'N', 1.0f, lineName));
        return line;
    }

    SerialPort port;
};

TEST_F(SerialPortTest, OpenPortCarriesSettingsLinesAndBytesAndClosingDropsTheLines) {
    // A port never opened does nothing and answers at once.
    const auto start = Clock::now();
    EXPECT_FALSE(port.Write("FA;") || port.IsDsrOn());
    EXPECT_EQ(port.ReadCount(10, 10000), "");
    EXPECT_LT(MsSince(start), 400);
    // Only the low byte of the data bits reaches the device.
    ASSERT_TRUE(port.Open("COM3", 4800, 0x107, 'e', 2.0f));
    const SerialDeviceSettings settings = *sim::LastSettings("COM3");
    EXPECT_EQ(settings.baud, 4800u);
    EXPECT_EQ(settings.dataBits, 7);
    EXPECT_EQ(settings.parity, SerialParity::Even);
    EXPECT_EQ(settings.stopBits, SerialStopBits::Two);

    port.SetDtr(true);
    port.SetRts(true);
    EXPECT_TRUE(sim::Dtr("COM3") && sim::Rts("COM3"));
    sim::SetDsr("COM3", true);
    EXPECT_TRUE(port.IsDsrOn());
    EXPECT_TRUE(port.Write("FA;"));
    EXPECT_TRUE(port.LockedWrite("ID;"));
    EXPECT_EQ(sim::TakeWritten("COM3"), "FA;ID;");
    sim::Feed("COM3", "IF;");
    EXPECT_EQ(port.InputQueueLength(), 3u);

    // A reopen releases the old handle first, so the exclusive open succeeds.
    OpenCom3();
    EXPECT_FALSE(sim::Dtr("COM3") || sim::Rts("COM3"));
    port.SetRts(true);
    // A failed open leaves the port closed and the old device released.
    EXPECT_FALSE(port.Open("COM9", 38400, 8, 'N', 1.0f));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(sim::IsHeld("COM3"));
    EXPECT_FALSE(sim::Rts("COM3"));
    {
        SerialPort scoped;
        ASSERT_TRUE(scoped.LockedOpen("COM3", 38400, 8, 'N', 1.0f));
        scoped.SetRts(true);
    }
    EXPECT_FALSE(sim::IsHeld("COM3")) << "destroying an open port releases it";
    EXPECT_FALSE(sim::Rts("COM3"));
}

TEST_F(SerialPortTest, ReadUntilEndsAtTheTerminatorSilenceOrTheBoundAndDiscardDropsInput) {
    OpenCom3();
    sim::Feed("COM3", "FA1;FB2;");
    EXPECT_EQ(port.ReadUntil(';', 500), "FA1");
    EXPECT_EQ(port.ReadUntil(';', 500), "FB2");

    // A gap shorter than the idle time-out does not end the message; a
    // silence as long as it does, counted from the last byte.
    sim::Feed("COM3", "FA00014");
    sim::Feed("COM3", "074", 300ms);
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadUntil(';', 500), "FA00014074");
    EXPECT_GE(MsSince(start), 300 + 450);
    EXPECT_EQ(port.ReadUntil(';', 0), "") << "no idle time at all: nothing is read";

    // A device that streams without ever sending the terminator.
    sim::Feed("COM3", std::string(kMaxSerialMessage + 900, 'x') + ";");
    EXPECT_EQ(port.ReadUntil(';', 500).size(), kMaxSerialMessage);
    EXPECT_EQ(port.ReadUntil(';', 500), std::string(900, 'x'));

    // Discarding drops what has arrived, up to one message's worth per call
    // rather than chasing a stream.
    sim::Feed("COM3", "FA00014074000;IF;");
    sim::Feed("COM3", "late;", 400ms);
    port.DiscardInput();
    EXPECT_EQ(port.ReadUntil(';', 1000), "late");
    sim::Feed("COM3", std::string(3 * kMaxSerialMessage, 'x'));
    port.DiscardInput();
    EXPECT_EQ(sim::Unread("COM3"), 2 * kMaxSerialMessage);
}

TEST_F(SerialPortTest, ReadCountEndsAtTheCountOrWhenItsIdleBudgetIsSpent) {
    OpenCom3();
    sim::Feed("COM3", "abcdef");
    EXPECT_EQ(port.ReadCount(0, 1000), "");
    EXPECT_EQ(port.ReadCount(4, 1000), "abcd");
    EXPECT_EQ(port.ReadCount(4, 100), "ef");

    // Twenty bytes 80 ms apart would take 1.6 s; the empty reads between them
    // use up a 300-ms budget long before: a trickle cannot hold the reader.
    for (int i = 1; i <= 20; ++i) sim::Feed("COM3", "k", i * 80ms);
    EXPECT_LT(port.ReadCount(20, 300).size(), 20u);
}

TEST_F(SerialPortTest, LockedOperationsFromSeveralThreadsLoseNoByteAndNeverMeetAClosedHandle) {
    // A keyer port: a relay thread reads while two threads write and a
    // reconfiguration reopens and closes it, each under the port's lock.
    OpenCom3();
    sim::SetResponder("COM3", [](std::string_view written) { return std::string(written); });
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> received{0};
    std::thread reader([&] {
        // As the relay does: waits without the lock, so the writers get in;
        // then its reads hold the lock while the port is reopened.
        while (!stop) {
            if (received == 40 || port.WaitForInput(50)) {
                received += port.ReadCount(16, 50).size();
            }
        }
    });
    const auto write = [&] {
        for (int i = 0; i < 10; ++i) port.LockedWrite("ab");
    };
    std::thread first(write), second(write);
    first.join();
    second.join();
    EXPECT_TRUE(sim::WaitUntil([&] { return received == 40; }, 5s));
    EXPECT_TRUE(port.LockedOpen("COM3", 38400, 8, 'N', 1.0f));
    port.LockedClose();
    stop = true;
    reader.join();
    EXPECT_EQ(received.load(), 40u);
    EXPECT_FALSE(port.IsOpen());
}

using KeyingLineTest = SerialPortTest;

TEST_F(KeyingLineTest, OwnPortKeysTheLineItsNameChoosesAndClosingDropsIt) {
    const std::pair<const char*, bool> names[] = {
        {"RTS", true}, {"rts", true},   {"Rts", true},      {"DTR", false}, {"Dtr", false},
        {"", false},   {"NONE", false}, {"DTR/RTS", false}, {" rts", false}};
    for (const auto& [name, rts] : names) {
        SCOPED_TRACE(name);
        auto line = OwnLine("COM5", name);
        line->SetLine(true);
        EXPECT_EQ(sim::Rts("COM5"), rts);
        EXPECT_EQ(sim::Dtr("COM5"), !rts);
        line->Close();
        EXPECT_FALSE(sim::Rts("COM5") || sim::Dtr("COM5"));
    }
    // The port's settings and DSR; a failed open releases the port before.
    KeyingLine line;
    line.SetLine(true);  // nothing to drive yet
    ASSERT_TRUE(line.OpenOwn("COM5", 9600, 8, 'e', 2.0f, "DTR"));
    EXPECT_EQ(sim::LastSettings("COM5")->parity, SerialParity::Even);
    sim::SetDsr("COM5", true);
    EXPECT_TRUE(line.IsDsrOn());
    line.SetLine(true);
    EXPECT_FALSE(line.OpenOwn("COM9", 38400, 8, 'N', 1.0f, "RTS") || line.IsOpen());
    EXPECT_FALSE(sim::IsHeld("COM5") || sim::Dtr("COM5"));
}

TEST_F(KeyingLineTest, ASharerKeysItsLineOnItsOwnersDevice) {
    auto ptt = OwnLine("COM5", "DTR");
    auto cw = std::make_shared<KeyingLine>();
    cw->ShareWith(ptt, "rts");
    EXPECT_EQ(cw->Shared(), ptt);
    cw->SetLine(true);
    EXPECT_TRUE(sim::Rts("COM5") && !sim::Dtr("COM5"));
    ptt->SetLine(true);
    EXPECT_TRUE(sim::Dtr("COM5"));
    sim::SetDsr("COM5", true);
    EXPECT_TRUE(cw->IsDsrOn());

    // The sharer's Close leaves the owner's port open and its lines as they were.
    cw->Close();
    EXPECT_TRUE(!cw->IsOpen() && ptt->IsOpen());
    EXPECT_TRUE(sim::Dtr("COM5") && sim::Rts("COM5"));

    // The owner closed first: both lines drop, and the sharer drives nothing.
    cw->ShareWith(ptt, "RTS");
    ptt->Close();
    EXPECT_FALSE(sim::IsHeld("COM5"));
    EXPECT_FALSE(sim::Dtr("COM5") || sim::Rts("COM5"));
    EXPECT_FALSE(cw->IsOpen() || cw->IsDsrOn());
    cw->SetLine(true);
    EXPECT_FALSE(sim::Rts("COM5"));

    // A sharer holds its owner, and gives up a port of its own to share.
    ptt = OwnLine("COM5", "DTR");
    auto line = OwnLine("COM6", "DTR");
    line->ShareWith(ptt, "RTS");
    EXPECT_FALSE(sim::IsHeld("COM6"));
    ptt.reset();  // the holder let go without closing
    line->SetLine(true);
    EXPECT_TRUE(sim::Rts("COM5"));

    // Owning again lets go of the owner, whose port closes with its last holder.
    ASSERT_TRUE(line->OpenOwn("COM6", 38400, 8, 'N', 1.0f, "dtr"));
    EXPECT_EQ(line->Shared(), nullptr);
    EXPECT_FALSE(sim::IsHeld("COM5"));
    line->SetLine(true);
    EXPECT_TRUE(sim::Dtr("COM6"));

    // A line asked to share itself drives nothing and does not hang.
    line->ShareWith(line, "DTR");
    line->SetLine(true);
    EXPECT_FALSE(line->IsOpen() || sim::IsHeld("COM6"));
}

TEST_F(KeyingLineTest, OnlyWhoRaisedTheLineLastOrTheTimeLimitReleasesIt) {
    auto ptt = OwnLine("COM5", "DTR");
    ptt->SetLine(true, 7);
    ptt->SetLine(true, 8);  // keyed again by another client
    EXPECT_FALSE(ptt->ReleaseIfRaisedBy(7) || ptt->ReleaseIfRaisedBy(0));
    EXPECT_TRUE(sim::Dtr("COM5"));
    EXPECT_TRUE(ptt->ReleaseIfRaisedBy(8));
    EXPECT_FALSE(sim::Dtr("COM5"));
    EXPECT_FALSE(ptt->ReleaseIfRaisedBy(8)) << "already dropped";

    ptt->SetLine(true);
    EXPECT_FALSE(ptt->ReleaseIfRaisedFor(1h));
    std::this_thread::sleep_for(60ms);  // keyed for longer than the limit below
    EXPECT_TRUE(ptt->ReleaseIfRaisedFor(50ms));
    EXPECT_FALSE(sim::Dtr("COM5"));
    EXPECT_FALSE(ptt->ReleaseIfRaisedFor(0ms)) << "nothing raised";
}

}  // namespace
}  // namespace brinmoor
