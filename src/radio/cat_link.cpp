#include "radio/cat_link.h"

#include <chrono>
#include <thread>

#include "radio/cat_query.h"

namespace brinmoor {
namespace {

enum class ReplyEnd { Answer, Failed, Closing };

struct Reply {
    ReplyEnd end = ReplyEnd::Failed;
    std::string text;
};

// A radio answers a query with a message that repeats the command's code, so
// anything else but its refusal "?" is a report it sent of its own accord.
bool IsAnswerTo(const std::string& message, std::string_view code) {
    return message.size() >= code.size() && message.compare(0, code.size(), code) == 0;
}

// Reads one attempt's answer a byte at a time, so that a closing link is
// noticed within one 50-ms read.
Reply ReadReply(SerialPort& port, const std::atomic<bool>& closing, std::string_view code) {
    std::string message;
    int idleMs = 0;
    int skipped = 0;
    for (;;) {
        if (closing.load()) return {ReplyEnd::Closing, {}};
        const std::string byte = port.ReadCount(1, kSerialPollMs);
        if (byte.empty()) {
            idleMs += kSerialPollMs;
            if (idleMs >= kCatReplyIdleMs) break;
            continue;
        }
        idleMs = 0;
        if (byte[0] != ';') {
            message += byte[0];
            if (message.size() >= kMaxCatReply) break;
            continue;
        }
        // An empty message or the radio's "?" is a refusal: this attempt failed.
        if (message.empty() || message == "?") return {ReplyEnd::Failed, {}};
        if (IsAnswerTo(message, code)) return {ReplyEnd::Answer, std::move(message)};
        if (++skipped >= kMaxSkippedReports) return {ReplyEnd::Failed, {}};
        message.clear();
    }
    // Silence or the length bound without ";": a piece of the answer is kept
    // as received, a piece of anything else is dropped.
    if (IsAnswerTo(message, code)) return {ReplyEnd::Answer, std::move(message)};
    return {ReplyEnd::Failed, {}};
}

}  // namespace

bool CatLink::OpenIfChanged(const std::string& name, std::uint32_t newBaud, std::uint32_t dataBits,
                            char newParity, float newStopBits) {
    std::lock_guard<std::mutex> guard(lock);
    if (port.IsOpen() && name == portName && newBaud == baud && dataBits == byteSize &&
        newParity == parity && newStopBits == stopBits) {
        return true;
    }
    if (!port.Open(name, newBaud, dataBits, newParity, newStopBits)) return false;
    portName = name;
    baud = newBaud;
    byteSize = dataBits;
    parity = newParity;
    stopBits = newStopBits;
    return true;
}

std::string CatLink::CatTransaction(std::string_view command) {
    std::lock_guard<std::mutex> guard(lock);
    if (closing.load() || !port.IsOpen()) return {};

    const bool query = IsCatQuery(command);
    const int attempts = query ? 2 : 1;
    const std::string_view code = command.substr(0, 2);
    std::string wire(command);
    wire += ';';

    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kCatRetryPauseMs));
            if (closing.load()) return {};
        }
        // Whatever the radio sent since the last transaction is not the answer.
        port.DiscardInput();
        port.Write(wire);  // a failed write shows as a query without answer
        if (!query) return {};
        if (!port.IsOpen()) continue;

        Reply reply = ReadReply(port, closing, code);
        if (reply.end == ReplyEnd::Closing) return {};
        if (reply.end == ReplyEnd::Answer) return std::move(reply.text);
    }
    return "?";
}

void CatLink::Close() {
    closing.store(true);
    std::lock_guard<std::mutex> guard(lock);
    port.Close();
    portName.clear();
    baud = 0;
    closing.store(false);
}

bool CatLink::IsOpen() {
    std::lock_guard<std::mutex> guard(lock);
    return port.IsOpen();
}

std::string CatLink::PortName() {
    std::lock_guard<std::mutex> guard(lock);
    return portName;
}

}  // namespace brinmoor
