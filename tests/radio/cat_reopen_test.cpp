// A radio whose CAT port goes away (USB unplugged, radio power-cycled) is
// closed, reported once, and reopened with the same settings when it returns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "radio/cat_link.h"
#include "support/log_capture.h"
#include "support/sim_serial_device.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

using test::LogCapture;

class CatReopenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name = std::string("REOPEN_") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        sim::CreateDevice(name);
        sim::SetResponder(name, sim::KenwoodResponder({{"FA", "FA00014074000"}, {"ID", "ID019"}}));
        lostLine =
            "[brinmoor] CAT port " + name + " lost \xE2\x80\x94 will reopen when it returns\n";
        reopenedLine = "[brinmoor] CAT port " + name + " reopened\n";
        idLine = "[brinmoor] CAT port " + name + " opened. Radio ID: ID019\n";
    }
    void TearDown() override { link.Close(); }

    bool Open(std::uint32_t baud = 38400) { return link.OpenIfChanged(name, baud, 8, 'N', 1.0f); }

    LogCapture log;
    std::string name;
    std::string lostLine;
    std::string reopenedLine;
    std::string idLine;
    CatLink link;
};

TEST_F(CatReopenTest, LostPortAnswersEmptyAndIsReopenedWhenItReturns) {
    ASSERT_TRUE(Open());
    ASSERT_EQ(link.CatTransaction("FA"), "FA00014074000");

    sim::Vanish(name);
    const auto lostAt = Clock::now();
    // The write of a set command finds the device gone.
    EXPECT_EQ(link.CatTransaction("FA00007000000"), "");
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(sim::CloseCount(name), 1);  // the dead handle is released
    EXPECT_EQ(link.PortName(), name);     // the settings are kept for the reopen

    // Meanwhile every user gets the closed port's answer, and the loss is
    // reported only once however often the radio is asked.
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::atomic<int> wrong{0};
    std::thread relay([&] {
        while (!stop.load()) {
            const std::string reply = link.CatTransaction("FA");
            if (reply == "FA00014074000") {
                ++answered;
            } else if (!reply.empty()) {
                ++wrong;
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    EXPECT_EQ(link.CatTransaction("FA"), "");
    // Applying the same settings while it is away fails but keeps the attempts.
    EXPECT_FALSE(Open());

    std::this_thread::sleep_for(2500ms);  // at least one attempt finds nothing
    EXPECT_EQ(sim::OpenCount(name), 1);
    EXPECT_EQ(answered.load(), 0);
    sim::Reappear(name);

    ASSERT_TRUE(log.WaitFor(LogStream::Out, reopenedLine, 10s));
    EXPECT_GE(MsSince(lostAt), 1500);  // not before the first two-second pause
    ASSERT_TRUE(log.WaitFor(LogStream::Out, idLine, 5s));
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(link.CatTransaction("FA"), "FA00014074000");
    stop.store(true);
    relay.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(log.Count(LogStream::Err, lostLine), 1);
    EXPECT_EQ(log.Count(LogStream::Out, reopenedLine), 1);
    EXPECT_EQ(sim::OpenCount(name), 2);
    EXPECT_EQ(sim::LastSettings(name)->baud, 38400u);
}

TEST_F(CatReopenTest, RadioVanishingWhileAnsweringIsLostAndComesBackEachTime) {
    ASSERT_TRUE(Open());
    for (int round = 1; round <= 2; ++round) {
        // Unplugged right after the command went out: the read finds it gone.
        sim::SetResponder(name, [this](std::string_view) {
            sim::Vanish(name);
            return std::string();
        });
        EXPECT_EQ(link.CatTransaction("FA"), "");
        EXPECT_FALSE(link.IsOpen());
        EXPECT_EQ(log.Count(LogStream::Err, lostLine), round);

        sim::SetResponder(name, sim::KenwoodResponder({{"FA", "FA00014074000"}, {"ID", "ID019"}}));
        sim::Reappear(name);
        ASSERT_TRUE(log.WaitForCount(LogStream::Out, idLine, round, 10s));
        EXPECT_EQ(log.Count(LogStream::Out, reopenedLine), round);
        EXPECT_EQ(link.CatTransaction("FA"), "FA00014074000");
    }
}

TEST_F(CatReopenTest, NewSettingsEndTheAttempts) {
    const std::string other = name + "_OTHER";
    sim::CreateDevice(other);
    ASSERT_TRUE(Open());
    sim::Vanish(name);
    EXPECT_EQ(link.CatTransaction("FA"), "");
    ASSERT_EQ(log.Count(LogStream::Err, lostLine), 1);

    // A new baud rate for the same port fails while it is away: the link
    // stays closed and no longer tries the old settings.
    EXPECT_FALSE(Open(9600));
    sim::Reappear(name);
    std::this_thread::sleep_for(4500ms);  // two rounds of the reopener
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(sim::IsHeld(name));
    EXPECT_EQ(log.Count(LogStream::Out, reopenedLine), 0);

    // Another port altogether: opened at once and kept.
    ASSERT_TRUE(link.OpenIfChanged(other, 38400, 8, 'N', 1.0f));
    EXPECT_EQ(link.PortName(), other);
    EXPECT_FALSE(sim::IsHeld(name));
}

TEST_F(CatReopenTest, OtherPortConfiguredWhileLostIsKeptAndTheOldOneLeftAlone) {
    const std::string other = name + "_OTHER";
    sim::CreateDevice(other);
    ASSERT_TRUE(Open());
    sim::Vanish(name);
    EXPECT_EQ(link.CatTransaction("ID"), "");
    ASSERT_TRUE(link.OpenIfChanged(other, 19200, 8, 'N', 1.0f));
    sim::Reappear(name);
    std::this_thread::sleep_for(2500ms);
    EXPECT_TRUE(sim::IsHeld(other));
    EXPECT_FALSE(sim::IsHeld(name));
    EXPECT_EQ(sim::OpenCount(name), 1);
    EXPECT_EQ(log.Count(LogStream::Out, reopenedLine), 0);
}

TEST_F(CatReopenTest, CloseEndsTheAttemptsPromptly) {
    ASSERT_TRUE(Open());
    sim::Vanish(name);
    EXPECT_EQ(link.CatTransaction("FA"), "");
    ASSERT_EQ(log.Count(LogStream::Err, lostLine), 1);

    const auto start = Clock::now();
    link.Close();
    EXPECT_LT(MsSince(start), 1500);  // does not sit out the two-second pause
    sim::Reappear(name);
    std::this_thread::sleep_for(2500ms);
    EXPECT_FALSE(sim::IsHeld(name));
    EXPECT_EQ(log.Count(LogStream::Out, reopenedLine), 0);

    // The link is usable again after Close, and a new loss is handled anew.
    ASSERT_TRUE(Open());
    sim::Vanish(name);
    EXPECT_EQ(link.CatTransaction("FA"), "");
    EXPECT_EQ(log.Count(LogStream::Err, lostLine), 2);
    sim::Reappear(name);
    EXPECT_TRUE(log.WaitFor(LogStream::Out, reopenedLine, 10s));
}

TEST_F(CatReopenTest, DestroyingTheLinkWhileItWaitsToReopenEndsTheThread) {
    auto scoped = std::make_unique<CatLink>();
    ASSERT_TRUE(scoped->OpenIfChanged(name, 38400, 8, 'N', 1.0f));
    sim::Vanish(name);
    EXPECT_EQ(scoped->CatTransaction("FA"), "");
    const auto start = Clock::now();
    scoped.reset();
    EXPECT_LT(MsSince(start), 1500);
    sim::Reappear(name);
}

TEST_F(CatReopenTest, SilentRadioIsNotLost) {
    sim::SetResponder(name, {});
    ASSERT_TRUE(Open());
    EXPECT_EQ(link.CatTransaction("FA"), "?");
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(log.Count(LogStream::Err, lostLine), 0);
}

}  // namespace
}  // namespace brinmoor
