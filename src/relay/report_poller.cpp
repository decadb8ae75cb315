#include "relay/report_poller.h"

#include <thread>

#include "relay/relay_common.h"

namespace brinmoor {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kLook{50};

}  // namespace

void ReportPoller::Run(const std::atomic<bool>& running, CatLink& link,
                       const std::function<bool()>& wanted) {
    Clock::time_point next = Clock::now();
    while (running.load()) {
        try {
            const auto now = Clock::now();
            std::this_thread::sleep_until(std::min(next, now + kLook));
            const RadioDialect dialect = link.Dialect();
            const bool on = IsIdentified(dialect) && wanted();
            SetActive(on);
            if (!on) {
                next = Clock::now() + kLook;
                continue;
            }
            if (Clock::now() < next) continue;
            next += kReportPollMs;
            if (next < Clock::now()) next = Clock::now() + kReportPollMs;
            {
                std::lock_guard<std::mutex> guard(mutex);
                ++started;
            }
            std::string reply = link.OwnQuery("IF", dialect);
            std::lock_guard<std::mutex> guard(mutex);
            answer = std::move(reply);
            ++completed;
            finished.notify_all();
        } catch (...) {
            std::this_thread::sleep_for(kRelayErrorPause);
        }
    }
    SetActive(false);
}

void ReportPoller::SetActive(bool on) {
    std::lock_guard<std::mutex> guard(mutex);
    if (active == on) return;
    active = on;
    // Programs waiting for a round that will not come ask for themselves.
    if (!on) finished.notify_all();
}

std::optional<std::string> ReportPoller::NextRound() {
    std::unique_lock<std::mutex> guard(mutex);
    if (!active) return std::nullopt;
    // The round under way may have been written before this question.
    const std::uint64_t wanted = started + 1;
    finished.wait_for(guard, 2 * kReportPollMs + kLook,
                      [&] { return completed >= wanted || !active; });
    if (completed < wanted) return std::nullopt;
    return answer;
}

CatReply AskSharingRounds(CatLink& link, ReportPoller* poller, std::string_view command,
                          ChangeRight right) {
    if (poller != nullptr && command == "IF") {
        if (auto round = poller->NextRound()) return {std::move(*round), true, true};
    }
    return link.CatTransaction(command, right);
}

}  // namespace brinmoor
