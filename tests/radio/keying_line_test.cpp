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

TEST_F(KeyingLineTest, LineNameChoosesRtsOrDtrInAnyCaseAndClosingDropsIt) {
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
}

TEST_F(KeyingLineTest, OwnPortOpensWithItsSettingsReportsDsrAndIsReleased) {
    KeyingLine line;
    EXPECT_FALSE(line.IsOpen());
    EXPECT_FALSE(line.IsDsrOn());
    line.SetLine(true);  // nothing to drive yet

    ASSERT_TRUE(line.OpenOwn("COM5", 9600, 8, 'e', 2.0f, "DTR"));
    EXPECT_EQ(sim::LastSettings("COM5")->parity, SerialParity::Even);
    sim::SetDsr("COM5", true);
    EXPECT_TRUE(line.IsDsrOn());
    // Reopening releases the old handle first; the exclusive open succeeds.
    line.SetLine(true);
    ASSERT_TRUE(line.OpenOwn("COM5", 38400, 8, 'N', 1.0f, "RTS"));
    EXPECT_FALSE(sim::Dtr("COM5"));
    // A failed open leaves the line closed and the old port released.
    EXPECT_FALSE(line.OpenOwn("COM9", 38400, 8, 'N', 1.0f, "RTS"));
    EXPECT_FALSE(line.IsOpen());
    EXPECT_FALSE(sim::IsHeld("COM5"));
    {
        KeyingLine scoped;
        ASSERT_TRUE(scoped.OpenOwn("COM6", 38400, 8, 'N', 1.0f, "RTS"));
        scoped.SetLine(true);
    }
    EXPECT_FALSE(sim::IsHeld("COM6")) << "destroying an owner releases its port";
    EXPECT_FALSE(sim::Rts("COM6"));
}

TEST_F(KeyingLineTest, PttOnDtrAndCwOnRtsShareOneDevice) {
    auto ptt = OwnLine("COM5", "DTR");
    auto cw = std::make_shared<KeyingLine>();
    cw->ShareWith(ptt, "rts");
    EXPECT_EQ(cw->Shared(), ptt);
    cw->SetLine(true);
    EXPECT_TRUE(sim::Rts("COM5"));
    EXPECT_FALSE(sim::Dtr("COM5"));
    ptt->SetLine(true);
    EXPECT_TRUE(sim::Dtr("COM5"));
    sim::SetDsr("COM5", true);
    EXPECT_TRUE(cw->IsDsrOn());

    // The sharer's Close leaves the owner's port open and its lines as they were.
    cw->Close();
    EXPECT_FALSE(cw->IsOpen());
    EXPECT_TRUE(ptt->IsOpen());
    EXPECT_TRUE(sim::Dtr("COM5") && sim::Rts("COM5"));

    // The owner closed first: both lines drop, and the sharer drives nothing.
    cw->ShareWith(ptt, "RTS");
    ptt->Close();
    EXPECT_FALSE(sim::IsHeld("COM5"));
    EXPECT_FALSE(sim::Dtr("COM5") || sim::Rts("COM5"));
    EXPECT_FALSE(cw->IsOpen());
    EXPECT_FALSE(cw->IsDsrOn());
    cw->SetLine(true);
    EXPECT_FALSE(sim::Rts("COM5"));
}

TEST_F(KeyingLineTest, SharerHoldsItsOwnerAndGivesUpAPortOfItsOwn) {
    auto ptt = OwnLine("COM5", "DTR");
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
    EXPECT_FALSE(line->IsOpen());
    EXPECT_FALSE(sim::IsHeld("COM6"));
}

TEST_F(KeyingLineTest, SharerKeyingWhileTheOwnerCloses) {
    // A CW relay keys through the PTT line's port while a CFG closes it.
    auto ptt = OwnLine("COM5", "DTR");
    auto cw = std::make_shared<KeyingLine>();
    cw->ShareWith(ptt, "RTS");
    std::atomic<bool> stop{false};
    std::thread keyer([&] {
        for (bool on = true; !stop; on = !on) {
            cw->SetLine(on);
            cw->IsDsrOn();
        }
    });
    ASSERT_TRUE(sim::WaitForRts("COM5", true, 2s));
    ptt->Close();
    std::this_thread::sleep_for(20ms);  // many keying rounds after the close
    EXPECT_FALSE(sim::Rts("COM5")) << "nothing drives a closed port";
    stop = true;
    keyer.join();
}

TEST_F(KeyingLineTest, OnlyWhoRaisedTheLineLastOrTheTimeLimitReleasesIt) {
    auto ptt = OwnLine("COM5", "DTR");
    ptt->SetLine(true, 7);
    ptt->SetLine(true, 8);  // keyed again by another client
    EXPECT_FALSE(ptt->ReleaseIfRaisedBy(7));
    EXPECT_FALSE(ptt->ReleaseIfRaisedBy(0));
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
