#pragma once
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"

namespace brinmoor::test {

// Collects every log line of the program in memory while it lives.
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
        return WaitFor(stream, line, std::chrono::milliseconds(0), 0);
    }
    // Waits until the exact line has been written to the stream count times;
    // how often it has been written (0 on time-out).
    int WaitFor(LogStream stream, const std::string& line,
                std::chrono::milliseconds timeout = std::chrono::seconds(5), int count = 1) {
        std::unique_lock<std::mutex> guard(mutex);
        int seen = 0;
        changed.wait_for(guard, timeout, [&] {
            const auto& lines = stream == LogStream::Out ? out : err;
            seen = static_cast<int>(std::count(lines.begin(), lines.end(), line));
            return seen >= count;
        });
        return seen >= count ? seen : 0;
    }

  private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> out;
    std::vector<std::string> err;
};

}  // namespace brinmoor::test
