// The active app and the wait of the relays whose group is not active.
#include "relay/active_group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kLongWait = 20s;  // a wait that must be cut short
constexpr auto kPrompt = 5s;     // generous, for a loaded machine

TEST(ActiveGroupTest, WaitEndsAtAChangeAtStopOrAfterItsTime) {
    ActiveGroup active;
    EXPECT_EQ(active.Load(), -1);
    std::atomic<bool> running{true};

    // Another group becoming active wakes the waiter at once.
    auto start = Clock::now();
    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        active.Store(3);
    });
    active.WaitForChange(-1, running, kLongWait);
    EXPECT_LT(Clock::now() - start, kPrompt);
    EXPECT_EQ(active.Load(), 3);
    setter.join();

    // A value other than the one seen ends the wait before it starts.
    start = Clock::now();
    active.WaitForChange(-1, running, kLongWait);
    EXPECT_LT(Clock::now() - start, kPrompt);

    // Stop: the running flag cleared, then everybody woken.
    start = Clock::now();
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        running = false;
        active.WakeAll();
    });
    active.WaitForChange(3, running, kLongWait);
    EXPECT_LT(Clock::now() - start, kPrompt);
    stopper.join();

    // Nothing happens: the wait takes its whole time.
    running = true;
    start = Clock::now();
    active.WaitForChange(3, running, 100ms);
    EXPECT_GE(Clock::now() - start, 90ms);
}

}  // namespace
}  // namespace brinmoor
