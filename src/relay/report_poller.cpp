#include "relay/report_poller.h"

#include <thread>

#include "relay/relay_common.h"

namespace brinmoor {

void PollForReports(const std::atomic<bool>& running, CatLink& link,
                    const std::function<bool()>& wanted) {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds kLook{50};
    Clock::time_point lastOwn;
    while (running.load()) {
        try {
            std::this_thread::sleep_for(kLook);
            const RadioDialect dialect = link.Dialect();
            if (dialect == RadioDialect::Unknown || !wanted()) continue;
            const RadioSnapshot state = link.State().Snapshot();
            Clock::time_point last = lastOwn;
            if (state.lastIfAt && *state.lastIfAt > last) last = *state.lastIfAt;
            if (Clock::now() - last < kReportPollMs) continue;
            lastOwn = Clock::now();
            link.OwnQuery("IF", dialect);
        } catch (...) {
            std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
}

}  // namespace brinmoor
