#pragma once
// While any group listens for the radio's reports, the server reads "IF;"
// itself every kReportPollMs, so that a change reaches the listeners even when
// no program polls. An IF that a program asked meanwhile serves as well (the
// next read is due kReportPollMs after it), and the server's read shares the
// answer with programs asking the same at that moment. Nothing is sent to a
// radio that has not identified itself.
#include <atomic>
#include <chrono>
#include <functional>

#include "radio/cat_link.h"

namespace brinmoor {

inline constexpr std::chrono::milliseconds kReportPollMs{200};

// Runs until running drops; looks at it every 50 ms.
void PollForReports(const std::atomic<bool>& running, CatLink& link,
                    const std::function<bool()>& wanted);

}  // namespace brinmoor
