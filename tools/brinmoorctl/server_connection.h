#pragma once
// brinmoorctl's one TCP connection to the server, with a bound on every wait:
// the connect, and each reply.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace brinmoor {

enum class ReplyStatus { Reply, TimedOut, Closed };

struct ServerReply {
    ReplyStatus status = ReplyStatus::Closed;
    std::string text;  // the reply without its ";"
};

class ServerConnection {
  public:
    ServerConnection() = default;
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Connects to a dotted IPv4 address. Empty on success, else a sentence
    // that says what went wrong. A connect that hangs (a host that drops the
    // packets) is given up after the time-out.
    std::string Connect(const std::string& address, std::uint16_t port,
                        std::chrono::milliseconds timeout);

    bool Send(std::string_view bytes);

    // The next reply up to its ";". Bytes after it stay for the next call.
    ServerReply ReadReply(std::chrono::milliseconds timeout);

  private:
    SocketHandle socket = kInvalidSocket;
    std::string received;
};

}  // namespace brinmoor
