#pragma once
// Log lines are part of the server's interface: progress on standard output,
// failures on standard error. Each line is written whole and flushed at once,
// so a pipe or a service manager shows it as it happens.
#include <functional>
#include <string_view>

namespace brinmoor {

enum class LogStream { Out, Err };

// Writes the line (which carries its own "\n") to the stream and flushes it.
void LogOut(std::string_view line);
void LogErr(std::string_view line);

// Tests may watch every line as it is written; an empty function stops watching.
void SetLogObserver(std::function<void(LogStream, std::string_view)> observer);

}  // namespace brinmoor
