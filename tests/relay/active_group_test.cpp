// The active app and the wait of the relays whose group is not active: a
// change or a stop must wake them at once, not after their one-second look.
#include "relay/active_group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(ActiveGroupTest, WaitEndsAtAChangeAtStopOrAfterItsTime) {
    ActiveGroup active;
    EXPECT_EQ(active.Load(), -1);
    std::atomic<bool> running{true};
    // Each wait would take 20 s unless something ends it.
    const auto waitEndsAfter = [&](std::int32_t seen, const std::function<void()>& act) {
        std::thread actor([&] {
            std::this_thread::sleep_for(50ms);  // the waiter is waiting by then
            act();
        });
        const auto start = Clock::now();
        active.WaitForChange(seen, running, 20s);
        actor.join();
        return Clock::now() - start;
    };
    EXPECT_LT(waitEndsAfter(-1, [&] { active.Store(3); }), 5s);
    EXPECT_EQ(active.Load(), 3);
    // A value other than the one seen ends the wait before it starts.
    EXPECT_LT(waitEndsAfter(-1, [] {}), 5s);
    EXPECT_LT(waitEndsAfter(3,
                            [&] {
                                running = false;
                                active.WakeAll();
                            }),
              5s);

    // Nothing happens: the wait takes its whole time.
    running = true;
    const auto start = Clock::now();
    active.WaitForChange(3, running, 100ms);
    EXPECT_GE(Clock::now() - start, 90ms);
}

}  // namespace
}  // namespace brinmoor
