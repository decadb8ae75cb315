#include "common/log.h"

#include <cstdio>
#include <ctime>
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

// The log file of a server without a console; unused while file is null.
struct LogFile {
    std::mutex mutex;
    std::FILE* file = nullptr;
    std::string path;
    std::string olderPath;
    std::size_t limit = 0;
    std::size_t size = 0;
};

LogFile& TheLogFile() {
    static LogFile log;
    return log;
}

std::string TimeStamp() {
    const std::time_t now = std::time(nullptr);
    char text[32] = {};
    // Under the log file's lock, so localtime's shared result is safe here.
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S ", std::localtime(&now));
    return text;
}

// True when the line went to the file.
bool WriteToFile(std::string_view line) {
    LogFile& log = TheLogFile();
    std::lock_guard<std::mutex> guard(log.mutex);
    if (log.file == nullptr) return false;
    const std::string stamped = TimeStamp() + std::string(line);
    if (log.size > 0 && log.size + stamped.size() > log.limit) {
        std::fclose(log.file);
        std::remove(log.olderPath.c_str());  // a rename does not replace on Windows
        std::rename(log.path.c_str(), log.olderPath.c_str());
        log.file = std::fopen(log.path.c_str(), "ab");
        log.size = 0;
        if (log.file == nullptr) return false;
    }
    std::fwrite(stamped.data(), 1, stamped.size(), log.file);
    std::fflush(log.file);
    log.size += stamped.size();
    return true;
}

void Write(LogStream stream, std::string_view line) {
    if (!WriteToFile(line)) {
        std::FILE* file = stream == LogStream::Out ? stdout : stderr;
        // One fwrite per line: stdio locks the stream for the call, so lines of
        // different threads do not interleave inside a line.
        std::fwrite(line.data(), 1, line.size(), file);
        std::fflush(file);
    }
    std::lock_guard<std::mutex> guard(ObserverMutex());
    if (Observer()) Observer()(stream, line);
}

}  // namespace

void LogOut(std::string_view line) { Write(LogStream::Out, line); }

void LogErr(std::string_view line) { Write(LogStream::Err, line); }

bool SetLogFile(const std::string& path, const std::string& olderPath, std::size_t limitBytes) {
    LogFile& log = TheLogFile();
    std::lock_guard<std::mutex> guard(log.mutex);
    if (path.empty()) {
        if (log.file != nullptr) std::fclose(log.file);
        log.file = nullptr;
        return true;
    }
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) return false;
    if (log.file != nullptr) std::fclose(log.file);
    log.file = file;
    log.path = path;
    log.olderPath = olderPath;
    log.limit = limitBytes;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    log.size = size > 0 ? static_cast<std::size_t>(size) : 0;
    return true;
}

void SetLogObserver(std::function<void(LogStream, std::string_view)> observer) {
    std::lock_guard<std::mutex> guard(ObserverMutex());
    Observer() = std::move(observer);
}

}  // namespace brinmoor
