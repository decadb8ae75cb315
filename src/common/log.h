#pragma once
// Log lines are part of the server's interface: progress on standard output,
// failures on standard error. Each line is written whole and flushed at once,
// so a pipe or a service manager shows it as it happens.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace brinmoor {

enum class LogStream { Out, Err };

// Writes the line (which carries its own "\n") to the stream and flushes it.
void LogOut(std::string_view line);
void LogErr(std::string_view line);

// From now on every line goes, behind a local time stamp
// ("2026-12-07 14:03:59 "), to the file at `path` instead of the standard
// streams, for a server that has no console (a Windows service). Once the file
// would grow past `limitBytes` it is renamed to `olderPath` (replacing the one
// before) and a new one begun. False when the file cannot be opened; the
// lines then stay on the standard streams. An empty path ends the file and
// brings the lines back to the standard streams.
bool SetLogFile(const std::string& path, const std::string& olderPath, std::size_t limitBytes);

// Tests may watch every line as it is written; an empty function stops watching.
void SetLogObserver(std::function<void(LogStream, std::string_view)> observer);

}  // namespace brinmoor
