// brinmoor-load itself: a server that answers wrongly or not at all is caught
// (a checker that never fails would prove nothing; the native stage runs the
// tool against the real server).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "support/posix/process.h"
#include "support/posix/server_process.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;

const std::string kLoadBinary = BRINMOOR_BINARY_DIR "/tools/load/brinmoor-load";

// Runs brinmoor-load with the options; its exit code and every line it printed.
struct LoadRun {
    int exitCode = -1;
    std::string output;
};

LoadRun RunLoadTool(const std::vector<std::string>& options, std::chrono::milliseconds limit) {
    ChildProcess tool;
    std::vector<std::string> argv{kLoadBinary};
    argv.insert(argv.end(), options.begin(), options.end());
    LoadRun run;
    if (!tool.Start(argv)) return run;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto line = tool.ReadLine(200ms)) {
            run.output += *line + "\n";
        } else if (!tool.Running()) {
            break;
        }
    }
    while (auto line = tool.ReadLine(100ms)) run.output += *line + "\n";
    run.exitCode = tool.Wait(1s).value_or(tool.Stop());
    return run;
}

// The value column of one row of the summary table.
std::string Row(const std::string& output, const std::string& name) {
    const auto at = output.find("| " + name + " ");
    if (at == std::string::npos) return "<no row " + name + ">";
    const auto start = output.find("| ", at + 2);
    const auto end = output.find(" |", start + 2);
    std::string value = output.substr(start + 2, end - start - 2);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return value;
}

// A server on 127.0.0.1 that answers every query the load tool asks, with
// its own faults: on each connection the 5th query gets a reply for another
// query and from the 9th on nothing is answered at all.
class FaultyServer {
  public:
    FaultyServer() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 64);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        acceptor = std::thread([this] { Accept(); });
    }
    ~FaultyServer() {
        stop = true;
        acceptor.join();
        for (std::thread& thread : sessions) thread.join();
        ::close(listener);
    }

    std::uint16_t Port() const { return port; }

  private:
    static std::string Reply(const std::string& query) {
        if (query == "FA") return "FA00014074000;";
        if (query == "FB") return "FB00007000000;";
        if (query == "ID") return "ID019;";
        if (query == "IF") return "IF00014074000     +00000000001000000;";
        if (query == "MD") return "MD2;";
        if (query == "PC") return "PC100;";
        if (query == "SM0") return "SM00000;";
        if (query == "PW") return "PW0000;";
        if (query == "PORTS") return "PORTS{\"tcp_port\":1};";
        return "";  // a set command
    }

    void Accept() {
        while (!stop.load()) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd >= 0) sessions.emplace_back([this, fd] { Serve(fd); });
        }
    }

    void Serve(int fd) {
        std::string pending;
        int asked = 0;
        while (!stop.load()) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(n));
            for (auto end = pending.find(';'); end != std::string::npos; end = pending.find(';')) {
                const std::string query = pending.substr(0, end);
                pending.erase(0, end + 1);
                std::string reply = Reply(query);
                if (reply.empty()) continue;
                ++asked;
                if (asked == 5) reply = query == "ID" ? "FA00014074000;" : "ID019;";
                if (asked >= 9) reply.clear();
                ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        }
        ::close(fd);
    }

    int listener = -1;
    std::uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::thread acceptor;
    std::list<std::thread> sessions;  // only the acceptor adds, only the destructor joins
};

TEST(LoadToolTest, WrongAndMissingRepliesAreCaught) {
    FaultyServer faulty;
    const LoadRun run =
        RunLoadTool({"--attach", std::to_string(faulty.Port()), "--no-cfg", "--clients", "4",
                     "--seconds", "2", "--reply-timeout", "3", "--churn", "0", "--seed", "7"},
                    60s);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    // Each client connection (the tool's own first one aside) gets one wrong
    // reply and then no more.
    EXPECT_EQ(Row(run.output, "wrong"), "4") << run.output;
    EXPECT_NE(Row(run.output, "missing"), "0") << run.output;
    EXPECT_EQ(Row(run.output, "result"), "FAIL") << run.output;
    EXPECT_NE(run.output.find("was answered"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("no reply to"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace brinmoor
