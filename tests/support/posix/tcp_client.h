#pragma once
// A loopback TCP client for the system tests: it connects to 127.0.0.1,
// sends bytes, and reads with time-outs so that no test can hang.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace brinmoor::test {

using std::chrono::milliseconds;

class TcpClient {
  public:
    // Connects to 127.0.0.1:port, trying again until the time runs out (the
    // server may still be starting); from another loopback address (such as
    // 127.0.0.2) when one is given.
    explicit TcpClient(std::uint16_t port, milliseconds timeout = milliseconds(5000),
                       const std::string& from = "");
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool Connected() const { return fd >= 0; }
    // False once the server fails or stops taking bytes for 10 s.
    bool Send(std::string_view bytes);

    // Everything received until the wanted text has arrived (included) or the
    // time is up; bytes after the wanted text stay for the next read.
    std::string ReadUntil(std::string_view wanted, milliseconds timeout = milliseconds(5000));
    // Everything that arrives within the time (or until the server closes).
    std::string ReadFor(milliseconds duration);
    // True when the server closes the connection within the time; bytes that
    // arrive meanwhile are kept.
    bool WaitClosed(milliseconds timeout = milliseconds(5000));
    // Sends a command and reads its reply up to the reply's ";".
    std::string Ask(std::string_view command, milliseconds timeout = milliseconds(5000));

    void Close();
    // Hangs up with a reset: unread replies are thrown away.
    void Vanish();

  private:
    // Appends what arrives within the time; false once the peer has closed.
    bool Fill(milliseconds timeout);

    int fd = -1;
    bool closedByPeer = false;
    std::string buffered;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
std::uint16_t FreeLoopbackPort();

}  // namespace brinmoor::test
