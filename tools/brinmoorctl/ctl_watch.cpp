#include "ctl_watch.h"

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "common/text.h"
#include "ctl_run.h"
#include "server_connection.h"
#include "status_view.h"

namespace brinmoor {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kWatchWait{1000};  // connect and reply, in watch

// The document after "STATUS", or nothing when the connection failed.
std::optional<std::string> AskStatus(ServerConnection& connection,
                                     std::chrono::milliseconds timeout) {
    if (!connection.Send("STATUS;")) return std::nullopt;
    const ServerReply reply = connection.ReadReply(timeout);
    if (reply.status != ReplyStatus::Reply || !reply.text.starts_with("STATUS")) {
        return std::nullopt;
    }
    return reply.text.substr(6);
}

std::string View(const std::string& document) {
    try {
        return FormatStatus(ReadStatusDocument(document));
    } catch (const std::exception&) {
        return "the server's status cannot be read\n";
    }
}

// Over the last view: each line clears what the longer line before it left,
// and what is below the new view goes; nothing is blanked first, so nothing
// flickers.
std::string InPlace(const std::string& block) {
    std::string screen = "\x1b[H";
    std::size_t start = 0;
    for (std::size_t end = block.find('\n'); end != std::string::npos;
         end = block.find('\n', start)) {
        screen.append(block, start, end - start);
        screen += "\x1b[K\n";
        start = end + 1;
    }
    return screen + "\x1b[J";
}

int Watch(const CtlCommandLine& line, std::ostream& out, bool terminal, long views) {
    std::unique_ptr<ServerConnection> connection;
    const std::string where = line.host + ":" + std::to_string(line.port);
    const std::chrono::milliseconds wait = std::min(line.timeout, kWatchWait);
    if (terminal) out << "\x1b[2J";
    auto next = Clock::now();
    for (long shown = 0;;) {
        std::optional<std::string> document;
        if (!connection) {
            connection = std::make_unique<ServerConnection>();
            if (!connection->Connect(line.host, line.port, wait).empty()) connection.reset();
        }
        if (connection) document = AskStatus(*connection, wait);
        if (!document) connection.reset();
        const std::string block = document ? View(*document)
                                           : "server not reachable at " + where +
                                                 " \xE2\x80\x94 trying again\n";
        out << (terminal ? InPlace(block) : block + "\n") << std::flush;
        if (views > 0 && ++shown >= views) return document ? kCtlOk : kCtlNoServer;
        next += std::chrono::milliseconds(kWatchPeriodMs);
        const auto now = Clock::now();
        if (next < now) next = now;
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

int RunStatusCommand(const CtlCommandLine& line, std::ostream& out, std::ostream& err,
                     bool terminal) {
    if (line.command == "watch") {
        const long views = line.arguments.empty() ? 0 : std::stol(line.arguments[0]);
        return Watch(line, out, terminal, views);
    }
    ServerConnection connection;
    const std::string failure = connection.Connect(line.host, line.port, line.timeout);
    if (!failure.empty()) {
        err << "brinmoorctl: cannot reach brinmoor at " << line.host << ":" << line.port << ": "
            << failure << "\n";
        return kCtlNoServer;
    }
    const auto document = AskStatus(connection, line.timeout);
    if (!document) {
        err << "brinmoorctl: no STATUS reply from the server\n";
        return kCtlNoServer;
    }
    const bool json = !line.arguments.empty();  // --json
    out << (json ? EscapeControlBytes(*document) + "\n" : View(*document));
    return kCtlOk;
}

}  // namespace brinmoor
