#pragma once
// One TCP client: its byte stream is cut into frames at ";", each frame is a
// control command or a CAT command for the radio, and every reply is ASCII
// ended by ";".
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/socket.h"
#include "server/server_state.h"

namespace brinmoor {

inline constexpr std::size_t kReceiveChunk = 1024;
// How long a session waits for bytes before it looks whether the server is
// shutting down (not every system wakes a blocked receive on shutdown).
inline constexpr int kSessionPollMs = 200;
// A client that sends this much without a ";" is cut off.
inline constexpr std::size_t kMaxPendingBytes = 64 * 1024;

struct SessionStart {
    SocketHandle socket;
    ServerState& state;
    std::int32_t tcpPort;
};

struct FrameResult {
    std::string reply;  // empty: nothing to send
    bool quit = false;  // QUIT: set the server's quit flag and end the session
};

// Dispatches one non-empty frame (without its ";"). `client` names the
// connection for the keying it does (0: none).
FrameResult HandleFrame(ServerState& state, std::int32_t tcpPort, const std::string& frame,
                        std::uint64_t client = 0);

// Cuts every complete frame off the front of pending and dispatches it,
// handing each reply to send. After QUIT (its reply sent first) the server's
// quit flag is set, the frames behind it are dropped and the result is true.
bool DispatchFrames(ServerState& state, std::int32_t tcpPort, std::string& pending,
                    const std::function<void(const std::string&)>& send, std::uint64_t client = 0);

// The session body: runs until the peer closes, the receive fails, QUIT (of
// this client or, once its frame is done, of any other), or a failure while a
// frame is handled. The server's lines that this client keyed last are then
// released. The socket is closed by the caller.
void RunClientSession(const SessionStart& start);

}  // namespace brinmoor
