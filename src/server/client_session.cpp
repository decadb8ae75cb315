#include "server/client_session.h"

#include <atomic>

#include "common/log.h"
#include "server/control_commands.h"
#include "server/status_document.h"

namespace brinmoor {
namespace {

bool StartsWith(const std::string& frame, std::string_view prefix) {
    return frame.compare(0, prefix.size(), prefix) == 0;
}

std::string PassToRadio(ServerState& state, const std::string& frame) {
    const CatReply result = state.catLink.CatTransaction(frame);
    if (!result.read) return {};  // a set command is never acknowledged
    const std::string& reply = result.answer;
    if (reply.empty() || reply == "?") return "ERR" + frame + ";";
    if (reply.size() >= 2 && StartsWith(reply, "PC")) {
        if (const auto monitor = state.powerMonitor.Snapshot()) monitor->NotePowerSetting(reply);
    }
    return reply + ";";
}

}  // namespace

FrameResult HandleFrame(ServerState& state, std::int32_t tcpPort, const std::string& frame,
                        std::uint64_t client) {
    const std::size_t n = frame.size();
    FrameResult result;
    if (frame == "QUIT") {
        result.reply = "QUIT_OK;";
        result.quit = true;
    } else if (frame == "PORTS") {
        result.reply = PortsCommand(state);
    } else if (frame == "STATUS") {
        result.reply = StatusCommand(state);
    } else if (n >= 4 && StartsWith(frame, "CFG")) {
        result.reply = CfgCommand(state, frame, tcpPort);
    } else if (frame == "PW") {
        result.reply = PwCommand(state);
    } else if (n >= 2 && StartsWith(frame, "AG")) {
        result.reply = AgCommand(state, frame);
    } else if (n >= 3 && StartsWith(frame, "PT")) {
        PtCommand(state, frame, client);
    } else if (n >= 3 && StartsWith(frame, "CK")) {
        CkCommand(state, frame, client);
    } else {
        result.reply = PassToRadio(state, frame);
    }
    return result;
}

bool DispatchFrames(ServerState& state, std::int32_t tcpPort, std::string& pending,
                    const std::function<void(const std::string&)>& send, std::uint64_t client) {
    bool stop = false;
    std::size_t taken = 0;  // bytes of pending already cut into frames
    while (!stop) {
        const std::size_t end = pending.find(';', taken);
        if (end == std::string::npos) break;
        const std::string frame = pending.substr(taken, end - taken);
        taken = end + 1;
        if (frame.empty()) continue;
        const FrameResult result = HandleFrame(state, tcpPort, frame, client);
        if (!result.reply.empty()) send(result.reply);
        if (result.quit) {
            // Only after QUIT_OK is on its way: shutdown then closes the socket.
            state.quit.store(true);
            stop = true;
        }
    }
    pending.erase(0, taken);
    return stop;
}

void RunClientSession(const SessionStart& start) {
    static std::atomic<std::uint64_t> lastClient{0};
    const std::uint64_t client = ++lastClient;
    LogOut("[brinmoor] Client connected.\n");
    std::string pending;
    bool stop = false;
    char buffer[kReceiveChunk];
    try {
        while (!stop) {
            const SocketWait wait = WaitReadable(start.socket, kSessionPollMs);
            if (wait == SocketWait::Error) break;
            if (wait == SocketWait::Timeout) {
                if (start.state.quit.load()) break;
                continue;
            }
            const std::ptrdiff_t got = ReceiveSome(start.socket, buffer, sizeof buffer);
            if (got <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(got));
            stop = DispatchFrames(
                start.state, start.tcpPort, pending,
                [&](const std::string& reply) { SendAll(start.socket, reply); }, client);
            if (!stop && pending.size() >= kMaxPendingBytes) {
                LogErr("[brinmoor] Client sent " + std::to_string(kMaxPendingBytes) +
                       " bytes without ';' \xE2\x80\x94 disconnected.\n");
                break;
            }
        }
    } catch (...) {
        // A failure while a frame is handled ends this session quietly.
    }
    LogOut("[brinmoor] Client disconnected.\n");
    try {
        ReleaseClientKeying(start.state, client);
    } catch (...) {
    }
}

}  // namespace brinmoor
