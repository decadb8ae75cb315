#pragma once
// Helpers for the in-process server tests: watching log lines, a scratch
// folder, and loopback connections through the socket seam.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "platform/socket.h"
#include "server/server_state.h"
#include "support/log_capture.h"
#include "support/sim_serial_device.h"

namespace brinmoor::servertest {

using namespace std::chrono_literals;

using test::LogCapture;

// A folder of its own under the system's temporary directory, removed after.
class ScratchFolder {
  public:
    ScratchFolder() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path = std::filesystem::temp_directory_path() /
               ("brinmoor-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string File(const std::string& name) const { return (path / name).string(); }

    static std::string Read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }
    static void Write(const std::string& file, const std::string& text) {
        std::ofstream(file, std::ios::binary) << text;
    }

  private:
    static inline int counter = 0;
    std::filesystem::path path;
};

// The server's own PTT (DTR) and CW (RTS) lines on one simulated port.
inline void InstallKeyingLines(ServerState& state, const std::string& device) {
    sim::CreateDevice(device);
    auto ptt = std::make_shared<KeyingLine>();
    EXPECT_TRUE(ptt->OpenOwn(device, 38400, 8, 'N', 1.0f, "DTR"));
    auto cw = std::make_shared<KeyingLine>();
    cw->ShareWith(ptt, "RTS");
    state.pttLine.Replace(ptt);
    state.cwLine.Replace(cw);
}

// Starts the platform's sockets for the life of a test.
struct SocketsStarted {
    SocketsStarted() { StartSockets(); }
    ~SocketsStarted() { CleanupSockets(); }
};

// A listener on 127.0.0.1 with a port the system chose.
struct LoopbackListener {
    SocketHandle socket = kInvalidSocket;
    std::uint16_t port = 0;

    LoopbackListener() {
        socket = CreateTcpSocket();
        BindSocket(socket, "127.0.0.1", 0);
        ListenSocket(socket, 5);
        port = LocalPort(socket);
    }
    ~LoopbackListener() {
        if (socket != kInvalidSocket) CloseSocket(socket);
    }
};

// Connects a client and accepts it: {client side, server side}.
inline std::pair<SocketHandle, SocketHandle> ConnectPair(LoopbackListener& listener) {
    const SocketHandle client = CreateTcpSocket();
    ConnectSocket(client, "127.0.0.1", listener.port);
    const SocketHandle server = AcceptConnection(listener.socket);
    return {client, server};
}

// Reads until the text has arrived, the peer closes or the time runs out.
inline std::string ReceiveUntil(SocketHandle socket, const std::string& wanted,
                                std::chrono::milliseconds timeout = 5s) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        if (WaitReadable(socket, 50) != SocketWait::Readable) continue;
        char buffer[1024];
        const auto n = ReceiveSome(socket, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// True when the peer closed the connection within the time.
inline bool SeesClosed(SocketHandle socket, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (WaitReadable(socket, 50) != SocketWait::Readable) continue;
        char buffer[256];
        const auto n = ReceiveSome(socket, buffer, sizeof buffer);
        if (n <= 0) return true;
    }
    return false;
}

}  // namespace brinmoor::servertest
