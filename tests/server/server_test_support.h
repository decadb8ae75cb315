#pragma once
// The in-process server tests' common ground: a scratch folder, loopback
// sockets, and a server state with a radio on the simulated COM3 whose
// commands and clients a test drives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/status_reply.h"
#include "platform/socket.h"
#include "server/client_session.h"
#include "server/ext_groups.h"
#include "server/server.h"
#include "server/server_state.h"
#include "support/log_capture.h"
#include "support/sim_serial_device.h"

namespace brinmoor::servertest {

using namespace std::chrono_literals;
using test::LogCapture;

// "baud bits parity stopbits" a simulated device was last opened with: "1200 8 N 2".
inline std::string SettingsOf(const std::string& device) {
    const auto s = sim::LastSettings(device);
    if (!s) return "never opened";
    const char* stops[] = {"1", "1.5", "2"};
    return std::to_string(s->baud) + " " + std::to_string(s->dataBits) + " " +
           "NOEMS"[static_cast<int>(s->parity)] + " " + stops[static_cast<int>(s->stopBits)];
}

// A folder of its own under the system's temporary directory, removed after.
struct ScratchFolder {
    ScratchFolder() { std::filesystem::create_directories(path); }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string File(const std::string& name) const { return (path / name).string(); }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::string Read(const std::string& file) {
        std::ostringstream content;
        content << std::ifstream(file, std::ios::binary).rdbuf();
        return content.str();
    }
    static void Write(const std::string& file, const std::string& text) {
        std::ofstream(file, std::ios::binary) << text;
    }

    static inline std::atomic<int> counter{0};
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("brinmoor-test-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
         std::to_string(counter++));
};

// A listener on 127.0.0.1 with a port the system chose; the platform's
// sockets are started while it lives.
struct LoopbackListener {
    SocketHandle socket = (StartSockets(), CreateTcpSocket());
    std::uint16_t port = 0;

    LoopbackListener() {
        EXPECT_TRUE(BindSocket(socket, "127.0.0.1", 0) && ListenSocket(socket, 16));
        port = LocalPort(socket);
    }
    ~LoopbackListener() {
        CloseSocket(socket);
        CleanupSockets();
    }

    // Connects a client and accepts it: {client side, server side}.
    std::pair<SocketHandle, SocketHandle> ConnectPair() {
        const SocketHandle client = CreateTcpSocket();
        EXPECT_TRUE(ConnectSocket(client, "127.0.0.1", port));
        return {client, AcceptConnection(socket)};
    }
};

// Reads until the text has arrived, the peer closes (then `closed` is set)
// or 5 s pass.
inline std::string ReceiveUntil(SocketHandle socket, const std::string& wanted,
                                bool* closed = nullptr) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (got.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        if (WaitReadable(socket, 50) != SocketWait::Readable) continue;
        char buffer[1024];
        const auto n = ReceiveSome(socket, buffer, sizeof buffer);
        if (n <= 0) {
            if (closed != nullptr) *closed = true;
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// Sends the frames and waits for the reply that ends in `wanted`.
inline std::string Ask(SocketHandle client, const std::string& frames,
                       const std::string& wanted = ";") {
    SendAll(client, frames);
    return ReceiveUntil(client, wanted);
}

// True when the peer closed the connection within the time.
inline bool SeesClosed(SocketHandle socket) {
    bool closed = false;
    ReceiveUntil(socket, std::string(1, '\0'), &closed);
    return closed;
}

// A server state on TCP port 4532 whose radio, a three-digit-ID transceiver on
// 14.074 MHz, is on COM3 (not yet opened); its saved file is in a scratch folder.
class ServerFixture : public ::testing::Test {
  protected:
    ServerFixture() {
        sim::Reset();
        sim::CreateDevice("COM3");
        sim::SetResponder("COM3", sim::KenwoodResponder({{"ID", "ID019"}, {"FA", "FA00014074000"},
                                                         {"TX", "TX0"}, {"PC", "PC100"}}));
        state.configPath = folder.File("brinmoor.json");
        state.statusReply = BuildStatusJson(4532, "", 0, "", "", "");
    }
    ~ServerFixture() override {
        state.sessions.ShutdownAll();
        state.sessions.JoinAll();
        StopRelays(state);
        CloseLocalPorts(state);
    }

    std::string Send(const std::string& frame) { return HandleFrame(state, 4532, frame).reply; }

    // A client served by a session of this state.
    SocketHandle Connect() {
        const auto [client, server] = listener.ConnectPair();
        EXPECT_TRUE(StartClientSession(state, server));
        return client;
    }

    // The server's own PTT (DTR) and CW (RTS, or as given) lines on one simulated port.
    void InstallKeyingLines(const std::string& device, const std::string& cwLine = "RTS") {
        sim::CreateDevice(device);
        auto ptt = std::make_shared<KeyingLine>();
        EXPECT_TRUE(ptt->OpenOwn(device, 38400, 8, 'N', 1.0f, "DTR"));
        auto cw = std::make_shared<KeyingLine>();
        cw->ShareWith(ptt, cwLine);
        state.pttLine.Replace(ptt);
        state.cwLine.Replace(cw);
    }

    ScratchFolder folder;
    LogCapture log;
    LoopbackListener listener;
    ServerState state;
};

}  // namespace brinmoor::servertest
