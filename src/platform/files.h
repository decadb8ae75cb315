#pragma once
// The file-system seam: where the executable lives and how a file is replaced
// so that a crash or a full disk never leaves it half written.
#include <string>
#include <string_view>

namespace brinmoor {

// Full path of the running executable; empty when the system cannot tell.
std::string ExecutablePath();

// The separator between a directory and a file name: '\\' or '/'.
char PathSeparator();

// The line break of a text file on this platform: "\r\n" or "\n".
std::string_view TextLineBreak();

// Writes the bytes to a new file beside the target, flushes it to disk and
// moves it over the target. On failure the target is left as it was.
bool WriteFileAtomically(const std::string& path, std::string_view content);

}  // namespace brinmoor
