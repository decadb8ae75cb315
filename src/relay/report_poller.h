#pragma once
// While any group listens for the radio's reports, the server reads "IF;"
// itself every kReportPollMs, so that a change reaches the listeners even when
// no program polls. Those reads are rounds that programs share: a program's
// own "IF;" while they run takes the answer of the next round written after
// it asked, so programs polling IF add nothing to the radio's load. Nothing
// is sent to a radio that has not identified itself.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "radio/cat_link.h"

namespace brinmoor {

inline constexpr std::chrono::milliseconds kReportPollMs{200};

class ReportPoller {
  public:
    // The rounds, until running drops (looked at every 50 ms).
    void Run(const std::atomic<bool>& running, CatLink& link, const std::function<bool()>& wanted);

    // The answer of the next round that starts after this call, or nothing
    // when no rounds run (then the caller asks the radio itself).
    std::optional<std::string> NextRound();

  private:
    void SetActive(bool on);

    std::mutex mutex;
    std::condition_variable finished;
    bool active = false;
    std::uint64_t started = 0;
    std::uint64_t completed = 0;
    std::string answer;  // of the last completed round
};

// A program's command: IF joins the poller's next round while rounds run (a
// read whose answer counts as shared), anything else is the program's own
// transaction.
CatReply AskSharingRounds(CatLink& link, ReportPoller* poller, std::string_view command,
                          ChangeRight right);

}  // namespace brinmoor
