#pragma once
// Collects the program's log lines in memory for in-process tests.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"

namespace brinmoor::test {

// Collects every log line while it lives.
class LogCapture {
  public:
    LogCapture() {
        SetLogObserver([this](LogStream stream, std::string_view line) {
            std::lock_guard<std::mutex> guard(mutex);
            (stream == LogStream::Out ? out : err).emplace_back(line);
            changed.notify_all();
        });
    }
    ~LogCapture() { SetLogObserver({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Out() {
        std::lock_guard<std::mutex> guard(mutex);
        return out;
    }
    std::vector<std::string> Err() {
        std::lock_guard<std::mutex> guard(mutex);
        return err;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(mutex);
        out.clear();
        err.clear();
    }
    // How often the exact line has been written to the stream.
    int Count(LogStream stream, const std::string& line) {
        std::lock_guard<std::mutex> guard(mutex);
        return CountLocked(stream, line);
    }
    // Waits until the exact line has been written to the stream count times.
    bool WaitFor(LogStream stream, const std::string& line,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5), int count = 1) {
        std::unique_lock<std::mutex> guard(mutex);
        return changed.wait_for(guard, timeout, [&] { return CountLocked(stream, line) >= count; });
    }

  private:
    int CountLocked(LogStream stream, const std::string& line) const {
        int count = 0;
        for (const auto& seen : stream == LogStream::Out ? out : err) count += seen == line;
        return count;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> out;
    std::vector<std::string> err;
};

}  // namespace brinmoor::test
