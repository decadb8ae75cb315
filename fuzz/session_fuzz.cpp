// A client's byte stream, as a session receives it, over a simulated radio:
// framing at ";", the control commands (CFG documents included, which open
// and close simulated ports and start and stop relay threads) and CAT
// pass-through. Every input runs against a fresh server state that is shut
// down afterwards, so threads and ports do not carry over between inputs.
// Nothing may escape: a failure inside a frame would end a real session, and
// here it means a fault.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "server/client_session.h"
#include "server/server.h"
#include "server/server_state.h"
#include "support/sim_serial_device.h"

namespace {

namespace sim = brinmoor::sim;

constexpr std::int32_t kTcpPort = 4532;
// Bounds one input's work, far below the fuzzer's time-out for a hang: a CFG
// starts and joins relay threads, and a CAT port put on a device that is no
// radio makes every query wait for its answer.
constexpr int kMaxFrames = 256;
constexpr auto kBudget = std::chrono::seconds(2);

// Answers every command at once with its own two-letter code, so queries never
// wait for a time-out. "ID" gets a real identity.
std::string AnswerAnything(std::string_view written) {
    std::string answer;
    std::size_t start = 0;
    while (start < written.size()) {
        std::size_t end = written.find(';', start);
        if (end == std::string_view::npos) end = written.size();
        const std::string_view command = written.substr(start, end - start);
        if (command == "ID") {
            answer += "ID019;";
        } else if (!command.empty()) {
            answer += std::string(command.substr(0, 2)) + "0;";
        }
        start = end + 1;
    }
    return answer;
}

const std::string& ConfigPath() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / "brinmoor-session-fuzz.json").string();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // COM1 is the radio; COM2 to COM4 are free ports for keying lines and app groups.
    sim::Reset();
    sim::CreateDevice("COM1");
    sim::SetResponder("COM1", AnswerAnything);
    for (const char* name : {"COM2", "COM3", "COM4"}) sim::CreateDevice(name);

    brinmoor::ServerState state;
    state.tcpPort = kTcpPort;
    state.configPath = ConfigPath();

    // Fed one frame at a time (framing does not depend on how the bytes
    // arrive) so that the time budget can be checked between frames, and cut
    // off at the session's bound on bytes without ";".
    const auto start = std::chrono::steady_clock::now();
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    std::string pending;
    const auto send = [](const std::string& reply) {
        if (reply.empty() || reply.back() != ';') std::abort();
    };
    std::size_t offset = 0;
    for (int frames = 0; offset < stream.size() && frames < kMaxFrames; ++frames) {
        if (std::chrono::steady_clock::now() - start > kBudget) break;
        std::size_t end = stream.find(';', offset);
        end = end == std::string_view::npos ? stream.size() : end + 1;
        pending.append(stream.substr(offset, end - offset));
        offset = end;
        if (brinmoor::DispatchFrames(state, kTcpPort, pending, send)) {
            if (!state.quit.load()) std::abort();
            break;
        }
        if (pending.size() >= brinmoor::kMaxPendingBytes) break;
    }
    state.quit.store(true);
    brinmoor::ShutDown(state);
    return 0;
}
