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
#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/posix/server_process.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;

const std::string kLoadBinary = BRINMOOR_BINARY_DIR "/tools/load/brinmoor-load";

// The value column of one row of the summary table.
std::string Row(const std::string& output, const std::string& name) {
    const auto at = output.find("| " + name + " ");
    if (at == std::string::npos) return "<no row " + name + ">";
    const auto start = output.find("| ", at + 2) + 2;
    std::string value = output.substr(start, output.find(" |", start) - start);
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
        thread = std::thread([this] { Serve(); });
    }
    ~FaultyServer() {
        stop = true;
        thread.join();
    }

    std::uint16_t Port() const { return port; }

  private:
    // The answer to each query the tool asks; a set command gets none.
    static std::string Reply(const std::string& query) {
        static const std::map<std::string, std::string> replies = {
            {"FA", "FA00014074000;"}, {"FB", "FB00007000000;"}, {"ID", "ID019;"},
            {"IF", "IF00014074000     +00000000001000000;"}, {"MD", "MD2;"}, {"PC", "PC100;"},
            {"SM0", "SM00000;"}, {"PW", "PW0000;"}, {"PORTS", "PORTS{\"tcp_port\":1};"}};
        const auto found = replies.find(query);
        return found == replies.end() ? "" : found->second;
    }

    // One thread serves every connection: the listener first, then each client
    // with its pending bytes and the number of queries it asked.
    void Serve() {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        std::vector<std::pair<std::string, int>> clients{{}};
        while (!stop.load()) {
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                fds.push_back({::accept(listener, nullptr, nullptr), POLLIN, 0});
                clients.emplace_back();
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                char buffer[4096];
                if (!(fds[i].revents & POLLIN)) continue;
                const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
                if (n <= 0) fds[i].events = 0;  // closed: kept, never polled for input again
                auto& [pending, asked] = clients[i];
                pending.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
                for (auto end = pending.find(';'); end != std::string::npos;
                     end = pending.find(';')) {
                    const std::string query = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    std::string reply = Reply(query);
                    if (reply.empty()) continue;
                    ++asked;
                    if (asked == 5) reply = query == "ID" ? "FA00014074000;" : "ID019;";
                    if (asked >= 9) reply.clear();
                    ::send(fds[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                }
            }
        }
        for (const pollfd& p : fds) ::close(p.fd);
    }

    int listener = -1;
    std::uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
};

TEST(LoadToolTest, WrongAndMissingRepliesAreCaught) {
    FaultyServer faulty;
    ChildProcess tool;
    ASSERT_TRUE(tool.Start({kLoadBinary, "--attach", std::to_string(faulty.Port()), "--no-cfg",
                            "--clients", "4", "--seconds", "2", "--reply-timeout", "3", "--churn",
                            "0", "--seed", "7"}));
    std::string output;
    while (auto line = tool.ReadLine(60s)) output += *line + "\n";
    EXPECT_EQ(tool.Wait(5s), 1) << output;
    // Each client connection (the tool's own first one aside) gets one wrong
    // reply and then no more.
    EXPECT_EQ(Row(output, "wrong"), "4") << output;
    EXPECT_NE(Row(output, "missing"), "0") << output;
    EXPECT_EQ(Row(output, "result"), "FAIL") << output;
    EXPECT_NE(output.find("was answered"), std::string::npos) << output;
    EXPECT_NE(output.find("no reply to"), std::string::npos) << output;
}

}  // namespace
}  // namespace brinmoor
