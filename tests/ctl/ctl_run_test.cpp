// brinmoorctl in process against a stand-in server that can misbehave on
// purpose: the exact frames each command sends and what it makes of odd
// replies. What it prints against the real server is a system test's job.
#include "ctl_run.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>

#include "server/server_test_support.h"

namespace brinmoor {
namespace {

// Serves one client at a time and answers each frame (without ";") with
// whatever the script returns; "<close>" closes the connection instead.
class StandInServer {
  public:
    explicit StandInServer(std::function<std::string(const std::string&)> script)
        : script(std::move(script)), thread([this] { Serve(); }) {}
    ~StandInServer() {
        stop = true;
        thread.join();
    }
    // What arrived since the last call.
    std::string TakeReceived() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(received, {});
    }
    servertest::LoopbackListener listener;
    std::atomic<int> connections{0};

  private:
    void Serve() {
        while (!stop) {
            if (WaitReadable(listener.socket, 50) != SocketWait::Readable) continue;
            const SocketHandle client = AcceptConnection(listener.socket);
            ++connections;
            std::string pending;
            for (bool open = true; open && !stop;) {
                if (WaitReadable(client, 50) != SocketWait::Readable) continue;
                char buffer[512];
                const std::ptrdiff_t got = ReceiveSome(client, buffer, sizeof buffer);
                if (got <= 0) break;
                pending.append(buffer, static_cast<std::size_t>(got));
                std::lock_guard<std::mutex> lock(mutex);
                received.append(buffer, static_cast<std::size_t>(got));
                for (std::size_t end; open && (end = pending.find(';')) != std::string::npos;) {
                    const std::string answer = script(pending.substr(0, end));
                    pending.erase(0, end + 1);
                    open = answer != "<close>";
                    if (open && !answer.empty()) SendAll(client, answer);
                }
            }
            CloseSocket(client);
        }
    }

    std::function<std::string(const std::string&)> script;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::string received;
    std::thread thread;  // last: starts once the rest is ready
};

// Answers as a server with a radio on 14.074 MHz that does not answer ID.
std::string Station(const std::string& frame) {
    if (frame == "PORTS") return R"(PORTS{"tcp_port":4532,"com":"COM3"};)";
    if (frame == "FA") return "FA00014074000;";
    if (frame.starts_with("AG")) return "AG_OK;";
    if (frame.starts_with("CFG")) return "CFG_OK;";
    return frame == "ID" ? "ERRID;" : "";
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome Ctl(std::uint16_t port, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--port", std::to_string(port), "--timeout", "2"});
    std::ostringstream out;
    std::ostringstream err;
    const int status = CtlMain(arguments, out, err);
    return {status, out.str(), err.str()};
}

TEST(CtlRunTest, CommandsSendTheirFramesAndConfirmWhatTheyChanged) {
    StandInServer server(Station);
    const std::uint16_t port = server.listener.port;
    EXPECT_EQ(Ctl(port, {"ag", "2"}).out, "app group 2 is the active app now\n");
    EXPECT_EQ(Ctl(port, {"ag"}).out, "no app group is active now\n");
    EXPECT_EQ(Ctl(port, {"ptt", "on"}).status, kCtlOk);
    EXPECT_EQ(Ctl(port, {"cw", "off"}).status, kCtlOk);
    EXPECT_EQ(server.TakeReceived(), "AG2;AG;PT1;PORTS;CK0;PORTS;");

    // cat first asks ID; one command without an answer fails the run, the others still go.
    Outcome run = Ctl(port, {"cat", "fa", "FA00007074000;id", "FA"});
    EXPECT_EQ(run.status, kCtlFailed);
    EXPECT_EQ(run.out,
              "FA00014074000;\nFA00007074000: sent, no reply (set command)\nFA00014074000;\n");
    EXPECT_EQ(server.TakeReceived(), "ID;FA;FA00007074000;PORTS;ID;FA;");

    // A frame the server would take for itself is refused before connecting.
    const int connections = server.connections;
    EXPECT_EQ(Ctl(port, {"cat", "FA", "ag0"}).status, kCtlUsage);
    EXPECT_EQ(server.connections, connections);

    // cfg sends the checked document in one frame, then asks whether the CAT
    // port is there and the radio answers: it does not. check needs no server.
    const servertest::ScratchFolder folder;
    const std::string good = folder.File("good.json");
    servertest::ScratchFolder::Write(good, "{\r\n \"ports\": {\"CAT\": {\"port\": \"COM3\"}}}\r\n");
    EXPECT_EQ(Ctl(port, {"cfg", good}).status, kCtlFailed);
    EXPECT_EQ(server.TakeReceived(), R"(CFG{"ports":{"CAT":{"port":"COM3"}}};PORTS;ID;)");

    run = Ctl(1, {"check", good});
    EXPECT_EQ(run.status, kCtlOk);
    EXPECT_EQ(run.out, good + ": the server can read this document\n");
    EXPECT_EQ(Ctl(1, {"check", folder.File("none.json")}).status, kCtlFailed);
    // A document with an error is neither called readable nor sent.
    const std::string bad = folder.File("bad.json");
    servertest::ScratchFolder::Write(bad, R"({"ports": {"CAT": {"port": "COM3", "baud": 0}}})");
    EXPECT_EQ(Ctl(1, {"check", bad}).status, kCtlFailed);
    EXPECT_EQ(Ctl(port, {"cfg", bad}).status, kCtlFailed);
    EXPECT_EQ(server.TakeReceived(), "");
}

TEST(CtlRunTest, AServerThatMisbehavesGivesANonZeroStatus) {
    StandInServer server([](const std::string& frame) -> std::string {
        if (frame == "PORTS") return "<close>";
        return frame == "AG1" ? "ERR;" : "";  // PW: no reply at all
    });
    const std::tuple<std::vector<std::string>, int, const char*> cases[] = {
        {{"ports"}, kCtlNoServer, "closed the connection without replying to PORTS"},
        {{"ag", "1"}, kCtlFailed, "unexpected reply from the server: ERR;"},
        {{"pw"}, kCtlNoServer, "no reply to PW within 2 s"},
    };
    for (const auto& [arguments, status, err] : cases) {
        const Outcome run = Ctl(server.listener.port, arguments);
        EXPECT_EQ(run.status, status) << err;
        EXPECT_NE(run.err.find(err), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace brinmoor
