// brinmoorctl end to end against a stand-in server on 127.0.0.1: the exact
// frames it sends, what it prints, and its exit status. The real server is
// used by the system tests; this one can misbehave on purpose.
#include "ctl_run.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/socket.h"
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
    std::uint16_t Port() const { return listener.port; }
    // What arrived since the last call.
    std::string TakeReceived() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(received, {});
    }
    int Connections() const { return connections; }

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

    servertest::LoopbackListener listener;
    std::function<std::string(const std::string&)> script;
    std::atomic<bool> stop{false};
    std::atomic<int> connections{0};
    std::mutex mutex;
    std::string received;
    std::thread thread;  // last: starts once the rest is ready
};

// Answers as a server with a radio on 14.074 MHz would.
std::string Station(const std::string& frame) {
    if (frame == "PORTS") return R"(PORTS{"tcp_port":4532,"com":"COM3"};)";
    if (frame == "FA") return "FA00014074000;";
    if (frame == "PW") return "PW2045;";
    if (frame == "AG" || frame.starts_with("AG")) return "AG_OK;";
    if (frame.starts_with("CFG")) return "CFG_OK;";
    if (frame == "QUIT") return "QUIT_OK;";
    if (frame == "ID") return "ERRID;";
    return "";
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome Ctl(std::uint16_t port, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--port", std::to_string(port), "--timeout", "2"});
    std::ostringstream out;
    std::ostringstream err;
    const int status = CtlMain(arguments, out, err);
    return {status, out.str(), err.str()};
}

TEST(CtlRunTest, CommandsTheFramesTheySendAndWhatTheyPrint) {
    StandInServer server(Station);
    Outcome run = Ctl(server.Port(), {"ports"});
    EXPECT_EQ(run.status, kCtlOk) << run.err;
    EXPECT_EQ(run.out, "{\n  \"tcp_port\": 4532,\n  \"com\": \"COM3\"\n}\n");
    EXPECT_EQ(Ctl(server.Port(), {"pw"}).out, "transmitting, 45 W\n");
    run = Ctl(server.Port(), {"ag", "2"});
    EXPECT_EQ(run.status, kCtlOk);
    EXPECT_EQ(run.out, "app group 2 is the active app now\n");
    EXPECT_EQ(Ctl(server.Port(), {"ag"}).out, "no app group is active now\n");
    EXPECT_EQ(Ctl(server.Port(), {"quit"}).status, kCtlOk);
    EXPECT_EQ(server.TakeReceived(), "PORTS;PW;AG2;AG;QUIT;");

    // Keying is followed by PORTS, so it is known to be handled.
    run = Ctl(server.Port(), {"ptt", "on"});
    EXPECT_EQ(run.status, kCtlOk);
    EXPECT_NE(run.out.find("PTT on: sent"), std::string::npos);
    EXPECT_EQ(Ctl(server.Port(), {"cw", "off"}).status, kCtlOk);
    EXPECT_EQ(server.TakeReceived(), "PT1;PORTS;CK0;PORTS;");

    // cat sends each command and confirms set commands with PORTS; the radio
    // does not answer ID: reported, and the other commands still go.
    run = Ctl(server.Port(), {"cat", "fa", "FA00007074000;id", "FA"});
    EXPECT_EQ(run.status, kCtlFailed);
    EXPECT_EQ(run.out,
              "FA00014074000;\nFA00007074000: sent, no reply (set command)\n"
              "FA00014074000;\n");
    EXPECT_NE(run.err.find("ID: no answer from the radio"), std::string::npos) << run.err;
    EXPECT_EQ(server.TakeReceived(), "ID;FA;FA00007074000;PORTS;ID;FA;");

    // A frame the server would take for itself is refused before connecting.
    const int connections = server.Connections();
    run = Ctl(server.Port(), {"cat", "FA", "ag0"});
    EXPECT_EQ(run.status, kCtlUsage);
    EXPECT_NE(run.err.find("AG0: the server takes this frame as its own AG command"),
              std::string::npos);
    EXPECT_EQ(server.Connections(), connections);
}

TEST(CtlRunTest, CfgSendsTheCheckedDocumentInOneFrame) {
    StandInServer server(Station);
    const servertest::ScratchFolder folder;
    const std::string good = folder.File("good.json");
    const std::string bad = folder.File("bad.json");
    servertest::ScratchFolder::Write(good, "{\r\n  \"ports\": {\"CAT\": {\"port\": \"COM3\"}, "
                                           "\"winkey\": {\"port\": \"COM6\"}}\r\n}\r\n");
    servertest::ScratchFolder::Write(bad, R"({"ports": {"CAT": {"prot": "COM3"}}})");
    Outcome run = Ctl(server.Port(), {"cfg", good});
    EXPECT_NE(run.out.find("CFG_OK"), std::string::npos);
    EXPECT_NE(run.err.find(good + ": warning: ports/winkey: ignored"), std::string::npos)
        << run.err;
    // The CFG, then whether the CAT port is there and the radio answers: it does not.
    EXPECT_EQ(server.TakeReceived(),
              R"(CFG{"ports":{"CAT":{"port":"COM3"},"winkey":{"port":"COM6"}}};PORTS;ID;)");
    EXPECT_EQ(run.status, kCtlFailed);
    EXPECT_NE(run.err.find("brinmoorctl: the CAT port did not open or the radio does not answer: "
                           "see the server's log"),
              std::string::npos)
        << run.err;

    // A document with errors never reaches the server; check needs no server.
    run = Ctl(server.Port(), {"cfg", bad});
    EXPECT_EQ(run.status, kCtlFailed);
    EXPECT_NE(run.err.find("error: ports/CAT/prot: unknown member"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not sent"), std::string::npos);
    EXPECT_EQ(server.Connections(), 1);

    run = Ctl(1, {"check", good});
    EXPECT_EQ(run.status, kCtlOk);
    EXPECT_EQ(run.out, good + ": the server can read this document\n");
    EXPECT_EQ(Ctl(1, {"check", bad}).status, kCtlFailed);
    run = Ctl(1, {"check", folder.File("none.json")});
    EXPECT_EQ(run.status, kCtlFailed);
    EXPECT_NE(run.err.find("cannot read"), std::string::npos);
}

TEST(CtlRunTest, AServerThatMisbehavesGivesANonZeroStatus) {
    StandInServer server([](const std::string& frame) -> std::string {
        if (frame == "PORTS") return "<close>";
        if (frame == "AG1") return "ERR;";
        return "";  // PW: no reply at all
    });
    Outcome run = Ctl(server.Port(), {"ports"});
    EXPECT_EQ(run.status, kCtlNoServer);
    EXPECT_NE(run.err.find("closed the connection without replying to PORTS"), std::string::npos);

    run = Ctl(server.Port(), {"ag", "1"});
    EXPECT_EQ(run.status, kCtlFailed);
    EXPECT_NE(run.err.find("unexpected reply from the server: ERR;"), std::string::npos);

    run = Ctl(server.Port(), {"pw"});
    EXPECT_EQ(run.status, kCtlNoServer);
    EXPECT_NE(run.err.find("no reply to PW within 2 s"), std::string::npos) << run.err;
}

TEST(CtlRunTest, UnreachableServerAndWrongCommandLines) {
    // Bound and closed again: nothing listens there now.
    const std::uint16_t port = servertest::LoopbackListener().port;
    Outcome run = Ctl(port, {"ports"});
    EXPECT_EQ(run.status, kCtlNoServer);
    EXPECT_NE(run.err.find("cannot reach brinmoor at 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << run.err;

    run = Ctl(port, {"ptt", "maybe"});
    EXPECT_EQ(run.status, kCtlUsage);
    EXPECT_EQ(run.err, "brinmoorctl: ptt needs on or off\nTry 'brinmoorctl --help'.\n");
}

}  // namespace
}  // namespace brinmoor
