#pragma once
// The server's one connection to the radio's CAT port. CatTransaction is the
// single road to the radio: one command at a time under the link's lock, a
// query waits for the radio's answer (with one retry), a set command does not.
// Commands and replies are handled without their ";".
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "radio/serial_port.h"

namespace brinmoor {

inline constexpr int kCatReplyIdleMs = 500;        // silence that ends a reply
inline constexpr int kCatRetryPauseMs = 50;        // pause before the second attempt
inline constexpr std::size_t kMaxCatReply = 4096;  // a longer reply is cut here
// Auto-information reports skipped while one query waits; past this many the
// attempt fails, so a chattering radio cannot hold the link for ever.
inline constexpr int kMaxSkippedReports = 8;

class CatLink {
  public:
    CatLink() = default;
    CatLink(const CatLink&) = delete;
    CatLink& operator=(const CatLink&) = delete;

    // Keeps the port when it is open with exactly these settings; otherwise
    // (re)opens it. A failed open leaves it closed and the remembered
    // settings as they were.
    bool OpenIfChanged(const std::string& name, std::uint32_t baud, std::uint32_t dataBits,
                       char parity, float stopBits);

    // Empty: the port is closed or closing, or the command is a set command.
    // "?": a query that got no usable answer in two attempts.
    // Otherwise the radio's answer without its ";": the first message that
    // begins with the command's two-letter code (other messages are the radio's
    // own reports and are skipped), or such a message cut short by 500 ms of
    // silence or by kMaxCatReply bytes.
    std::string CatTransaction(std::string_view command);

    // Drops DTR and RTS, closes the port, forgets the port name and baud. A
    // transaction in flight gives up at its next read (returning empty), and
    // the ones queued behind it return empty at once.
    void Close();

    bool IsOpen();
    std::string PortName();

  private:
    SerialPort port;
    std::mutex lock;
    std::string portName;
    std::uint32_t baud = 0;
    std::uint32_t byteSize = 0;
    char parity = 0;
    float stopBits = 0.0f;
    std::atomic<bool> closing{false};  // set by Close before it waits for the lock
};

}  // namespace brinmoor
