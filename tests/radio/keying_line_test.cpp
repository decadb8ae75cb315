#include "radio/keying_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/sim_serial_device.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;

class KeyingLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        sim::CreateDevice("COM5");
        sim::CreateDevice("COM6");
    }
    void TearDown() override { sim::Reset(); }

    static std::shared_ptr<KeyingLine> OwnLine(const std::string& port, std::string_view lineName) {
        auto line = std::make_shared<KeyingLine>();
        EXPECT_TRUE(line->OpenOwn(port, 38400, 8, 'N', 1.0f, lineName));
        return line;
    }
};

TEST_F(KeyingLineTest, LineNameChoosesRtsOrDtrInAnyCase) {
    for (const char* name : {"RTS", "rts", "Rts"}) {
        SCOPED_TRACE(name);
        auto line = OwnLine("COM5", name);
        line->SetLine(true);
        EXPECT_TRUE(sim::Rts("COM5"));
        EXPECT_FALSE(sim::Dtr("COM5"));
        line->SetLine(false);
        EXPECT_FALSE(sim::Rts("COM5"));
        line->Close();
    }
    for (const char* name : {"DTR", "Dtr", "", "NONE", "DTR/RTS", " rts"}) {
        SCOPED_TRACE(name);
        auto line = OwnLine("COM5", name);
        line->SetLine(true);
        EXPECT_TRUE(sim::Dtr("COM5"));
        EXPECT_FALSE(sim::Rts("COM5"));
        line->Close();
        EXPECT_FALSE(sim::Dtr("COM5"));  // closing drops the line
    }
}

TEST_F(KeyingLineTest, OwnPortOpensClosesAndReportsDsr) {
    KeyingLine line;
    EXPECT_FALSE(line.IsOpen());
    EXPECT_FALSE(line.IsDsrOn());
    line.SetLine(true);  // nothing to drive yet

    ASSERT_TRUE(line.OpenOwn("COM5", 9600, 8, 'e', 2.0f, "DTR"));
    EXPECT_TRUE(line.IsOpen());
    EXPECT_TRUE(line.Owns());
    EXPECT_EQ(line.Shared(), nullptr);
    EXPECT_EQ(sim::LastSettings("COM5")->parity, SerialParity::Even);
    EXPECT_EQ(sim::LastSettings("COM5")->stopBits, SerialStopBits::Two);
    sim::SetDsr("COM5", true);
    EXPECT_TRUE(line.IsDsrOn());

    // Reopening releases the old handle first; the exclusive open succeeds.
    line.SetLine(true);
    ASSERT_TRUE(line.OpenOwn("COM5", 38400, 8, 'N', 1.0f, "RTS"));
    EXPECT_FALSE(sim::Dtr("COM5"));
    EXPECT_EQ(sim::OpenCount("COM5"), 2);

    // A failed open leaves the line closed and the old port released.
    EXPECT_FALSE(line.OpenOwn("COM9", 38400, 8, 'N', 1.0f, "RTS"));
    EXPECT_FALSE(line.IsOpen());
    EXPECT_FALSE(sim::IsHeld("COM5"));
    EXPECT_FALSE(line.IsDsrOn());
}

TEST_F(KeyingLineTest, PttOnDtrAndCwOnRtsShareOneDevice) {
    auto ptt = OwnLine("COM5", "DTR");
    auto cw = std::make_shared<KeyingLine>();
    cw->ShareWith(ptt, "rts");
    EXPECT_FALSE(cw->Owns());
    EXPECT_EQ(cw->Shared(), ptt);
    EXPECT_TRUE(cw->IsOpen());

    cw->SetLine(true);
    EXPECT_TRUE(sim::Rts("COM5"));
    EXPECT_FALSE(sim::Dtr("COM5"));
    ptt->SetLine(true);
    EXPECT_TRUE(sim::Dtr("COM5"));
    EXPECT_EQ(sim::OpenCount("COM5"), 1);

    sim::SetDsr("COM5", true);
    EXPECT_TRUE(cw->IsDsrOn());

    // The sharer's Close leaves the owner's port open and its lines as they were.
    cw->Close();
    EXPECT_EQ(cw->Shared(), nullptr);
    EXPECT_FALSE(cw->IsOpen());
    EXPECT_TRUE(ptt->IsOpen());
    EXPECT_TRUE(sim::IsHeld("COM5"));
    EXPECT_TRUE(sim::Dtr("COM5"));
    EXPECT_TRUE(sim::Rts("COM5"));
    cw->SetLine(false);
    EXPECT_TRUE(sim::Rts("COM5"));
}

TEST_F(KeyingLineTest, OwnerClosedFirstLeavesTheSharerHarmless) {
    auto ptt = OwnLine("COM5", "DTR");
    auto cw = std::make_shared<KeyingLine>();
    cw->ShareWith(ptt, "RTS");
    cw->SetLine(true);
    ptt->SetLine(true);

    ptt->Close();  // drops both lines, including the one the sharer keyed
    EXPECT_FALSE(sim::IsHeld("COM5"));
    EXPECT_FALSE(sim::Dtr("COM5"));
    EXPECT_FALSE(sim::Rts("COM5"));
    EXPECT_FALSE(cw->IsOpen());
    EXPECT_FALSE(cw->IsDsrOn());
    cw->SetLine(true);
    EXPECT_FALSE(sim::Rts("COM5"));
    cw->Close();
    EXPECT_FALSE(ptt->IsOpen());
}

TEST_F(KeyingLineTest, SharerKeepsItsOwnerAlive) {
    auto ptt = OwnLine("COM5", "DTR");
    auto cw = std::make_shared<KeyingLine>();
    cw->ShareWith(ptt, "RTS");
    ptt.reset();  // the holder let go without closing
    cw->SetLine(true);
    EXPECT_TRUE(sim::Rts("COM5"));
    // Letting go of the last owner reference closes its port.
    cw->Close();
    EXPECT_FALSE(sim::IsHeld("COM5"));
    EXPECT_FALSE(sim::Rts("COM5"));
}

TEST_F(KeyingLineTest, SwitchingBetweenSharingAndOwning) {
    auto ptt = OwnLine("COM5", "DTR");
    auto line = OwnLine("COM6", "DTR");
    // Sharing gives up a port of its own, which would otherwise stay held.
    line->ShareWith(ptt, "RTS");
    EXPECT_FALSE(sim::IsHeld("COM6"));
    line->SetLine(true);
    EXPECT_TRUE(sim::Rts("COM5"));

    ASSERT_TRUE(line->OpenOwn("COM6", 38400, 8, 'N', 1.0f, "dtr"));
    EXPECT_TRUE(line->Owns());
    EXPECT_EQ(line->Shared(), nullptr);
    line->SetLine(true);
    EXPECT_TRUE(sim::Dtr("COM6"));
    EXPECT_FALSE(sim::Dtr("COM5"));

    // A line asked to share itself drives nothing and does not hang.
    line->ShareWith(line, "DTR");
    line->SetLine(true);
    EXPECT_FALSE(line->IsOpen());
    EXPECT_FALSE(sim::IsHeld("COM6"));
}

TEST_F(KeyingLineTest, DestroyingAnOwnerReleasesItsPort) {
    {
        KeyingLine line;
        ASSERT_TRUE(line.OpenOwn("COM6", 38400, 8, 'N', 1.0f, "RTS"));
        line.SetLine(true);
    }
    EXPECT_FALSE(sim::IsHeld("COM6"));
    EXPECT_FALSE(sim::Rts("COM6"));
}

TEST_F(KeyingLineTest, SharerKeyingWhileTheOwnerCloses) {
    // A CW relay keys through the PTT line's port while a CFG closes it.
    auto ptt = OwnLine("COM5", "DTR");
    auto cw = std::make_shared<KeyingLine>();
    cw->ShareWith(ptt, "RTS");
    std::atomic<bool> stop{false};
    std::thread keyer([&] {
        bool on = false;
        while (!stop) {
            on = !on;
            cw->SetLine(on);
            cw->IsDsrOn();
            cw->IsOpen();
        }
    });
    ASSERT_TRUE(sim::WaitForRts("COM5", true, 2000ms));
    ptt->Close();
    EXPECT_FALSE(sim::IsHeld("COM5"));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(sim::Rts("COM5"));  // nothing drives a closed port
    stop = true;
    keyer.join();
    cw->Close();
}

TEST_F(KeyingLineTest, KeyingChangesAreTimedAtTheDevice) {
    auto ptt = OwnLine("COM5", "DTR");
    const auto before = sim::Clock::now();
    ptt->SetLine(true);
    ptt->SetLine(true);  // no change, no entry
    ptt->SetLine(false);
    const auto history = sim::DtrHistory("COM5");
    ASSERT_EQ(history.size(), 2u);
    EXPECT_TRUE(history[0].on);
    EXPECT_FALSE(history[1].on);
    EXPECT_GE(history[0].at, before);
    EXPECT_GE(history[1].at, history[0].at);
}

}  // namespace
}  // namespace brinmoor
