#define NOMINMAX
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/files.h"

namespace brinmoor {
namespace {

bool WriteAll(HANDLE file, std::string_view content) {
    std::size_t written = 0;
    while (written < content.size()) {
        const std::size_t left = content.size() - written;
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD n = 0;
        if (!WriteFile(file, content.data() + written, chunk, &n, nullptr) || n == 0) {
            return false;
        }
        written += n;
    }
    return true;
}

// Creates a new file beside the target that no one else has.
HANDLE CreateTempBeside(const std::string& path, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = path + ".tmp." + std::to_string(GetCurrentProcessId()) + "." +
                   std::to_string(counter.fetch_add(1));
        const HANDLE file = CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

std::string ExecutablePath() {
    // A longer path comes back cut to the buffer.
    char buffer[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::string(buffer, strnlen(buffer, MAX_PATH));
}

char PathSeparator() {
    return '\\';
}

std::string_view TextLineBreak() {
    return "\r\n";
}

bool WriteFileAtomically(const std::string& path, std::string_view content) {
    std::string tempPath;
    const HANDLE file = CreateTempBeside(path, tempPath);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = WriteAll(file, content) && FlushFileBuffers(file);
    if (!CloseHandle(file)) ok = false;
    if (ok && MoveFileExA(tempPath.c_str(), path.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileA(tempPath.c_str());
    return false;
}

}  // namespace brinmoor
