#include "common/log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace brinmoor {
namespace {

std::mutex& ObserverMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(LogStream, std::string_view)>& Observer() {
    static std::function<void(LogStream, std::string_view)> observer;
    return observer;
}

void Write(LogStream stream, std::string_view line) {
    std::FILE* file = stream == LogStream::Out ? stdout : stderr;
    // One fwrite per line: stdio locks the stream for the call, so lines of
    // different threads do not interleave inside a line.
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
    std::lock_guard<std::mutex> guard(ObserverMutex());
    if (Observer()) Observer()(stream, line);
}

}  // namespace

void LogOut(std::string_view line) { Write(LogStream::Out, line); }

void LogErr(std::string_view line) { Write(LogStream::Err, line); }

void SetLogObserver(std::function<void(LogStream, std::string_view)> observer) {
    std::lock_guard<std::mutex> guard(ObserverMutex());
    Observer() = std::move(observer);
}

}  // namespace brinmoor
