#include "support/posix/server_process.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/posix/tcp_client.h"

namespace brinmoor::test {
namespace {

std::filesystem::path MakeFolder() {
    static std::atomic<int> counter{0};
    const auto folder =
        std::filesystem::temp_directory_path() / ("brinmoor-system-" + std::to_string(::getpid()) +
                                                  "-" + std::to_string(counter.fetch_add(1)));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

}  // namespace

ServerProcess::ServerProcess() : folder(MakeFolder()) {
    std::filesystem::copy_file(kServerBinary, folder / "brinmoor",
                               std::filesystem::copy_options::overwrite_existing);
}

ServerProcess::~ServerProcess() {
    process->Stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

bool ServerProcess::Start(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = launcher;
    argv.push_back((folder / "brinmoor").string());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.workingDirectory = folder.string();
    options.captureStderr = true;
    process->Stop();
    process = std::make_unique<ChildProcess>();
    outLines.clear();
    errLines.clear();
    outCursor = 0;
    errCursor = 0;
    return process->Start(argv, options);
}

bool ServerProcess::StartListening(const std::vector<std::string>& extra) {
    // Another program may take the free port before the server does; try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = FreeLoopbackPort();
        std::vector<std::string> arguments{"--bind", "127.0.0.1", "--port", std::to_string(port)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        if (!Start(arguments)) return false;
        if (!WaitOut("[brinmoor] Listening on TCP port ")) return false;
        // A bind failure follows the listening line at once.
        if (!WaitErr("bind() failed", milliseconds(300))) return true;
        Wait(milliseconds(3000));
    }
    return false;
}

namespace {

using Clock = std::chrono::steady_clock;

template <typename ReadLine>
std::optional<std::string> WaitForLine(std::vector<std::string>& lines, std::size_t& cursor,
                                       std::string_view text, milliseconds timeout, ReadLine read) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (std::size_t i = cursor; i < lines.size(); ++i) {
            if (lines[i].find(text) != std::string::npos) {
                cursor = i + 1;
                return lines[i];
            }
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        if (auto line = read(left)) {
            lines.push_back(*line);
        } else {
            std::this_thread::sleep_for(milliseconds(5));  // the pipe may have closed
        }
    }
}

}  // namespace

std::optional<std::string> ServerProcess::WaitOut(std::string_view text, milliseconds timeout) {
    return WaitForLine(outLines, outCursor, text, timeout,
                       [this](milliseconds left) { return process->ReadLine(left); });
}

std::optional<std::string> ServerProcess::WaitErr(std::string_view text, milliseconds timeout) {
    return WaitForLine(errLines, errCursor, text, timeout,
                       [this](milliseconds left) { return process->ReadErrLine(left); });
}

void ServerProcess::DrainOutput(milliseconds timeout) {
    // Bounded: a server that keeps writing cannot hold the test here.
    for (int i = 0; i < 1000; ++i) {
        auto line = process->ReadLine(timeout);
        if (!line) break;
        outLines.push_back(*line);
    }
    for (int i = 0; i < 1000; ++i) {
        auto line = process->ReadErrLine(timeout);
        if (!line) break;
        errLines.push_back(*line);
    }
}

std::optional<int> ServerProcess::Wait(milliseconds timeout) {
    return process->Wait(timeout);
}

RadioSim::~RadioSim() {
    process.Stop();
}

bool RadioSim::Start(const std::vector<std::string>& options) {
    std::vector<std::string> argv{kRadioSimBinary};
    argv.insert(argv.end(), options.begin(), options.end());
    ProcessOptions processOptions;
    processOptions.captureStderr = true;
    if (!process.Start(argv, processOptions)) return false;
    const auto line = process.ReadLine(milliseconds(5000));
    if (!line) return false;
    path = *line;
    return true;
}

bool RadioSim::Control(const std::string& line) {
    if (!process.Write(line + "\n")) return false;
    const auto answer = process.ReadLine(milliseconds(5000));
    return answer && *answer == "ok";
}

std::optional<long long> RadioSim::CommandCount() {
    if (!process.Write("count\n")) return std::nullopt;
    const auto answer = process.ReadLine(milliseconds(5000));
    if (!answer || answer->rfind("count ", 0) != 0) return std::nullopt;
    return std::stoll(answer->substr(6));
}

std::optional<std::string> RadioSim::WaitLog(std::string_view text, milliseconds timeout) {
    std::vector<std::string> lines;
    std::size_t cursor = 0;
    return WaitForLine(lines, cursor, text, timeout,
                       [this](milliseconds left) { return process.ReadErrLine(left); });
}

std::vector<std::string> RadioSim::LogLines(milliseconds timeout) {
    std::vector<std::string> lines;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (auto line = process.ReadErrLine(left)) {
            lines.push_back(*line);
        } else {
            std::this_thread::sleep_for(milliseconds(5));
        }
    }
    return lines;
}

std::string CatCfg(const std::string& device, const std::string& more) {
    return "CFG{\"ports\": {\"CAT\": {\"port\": \"" + device + "\"" + more + "}}};";
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace brinmoor::test
