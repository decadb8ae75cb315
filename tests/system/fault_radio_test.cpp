// Radio and port faults against the real server: a radio that dies or
// babbles, and an app group's port that vanishes (a silent radio: session_test). Whatever happens,
// every query gets one reply, the other clients are served, nothing spins a
// core, memory stays bounded and QUIT still ends the server at once.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/posix/pty.h"
#include "support/posix/station.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::kFrequency;
using test::PseudoTerminal;
using test::TcpClient;

using FaultRadioTest = test::StationTest;

// The simulator is killed under running queries: each still gets the radio's
// reply or ERRFA; afterwards FA gets ERRFA, the server idles and quits.
TEST_F(FaultRadioTest, RadioKilledMidRunGivesErrAndTheServerIdles) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    std::atomic<bool> stop{false};
    std::atomic<int> asked{0}, wrong{0}, unanswered{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([&] {
            TcpClient own(server.Port());
            while (!stop.load()) {
                const std::string reply = own.Ask("FA;", 15s);
                ++asked;
                if (reply.empty()) {
                    ++unanswered;
                    break;
                }
                if (reply != kFrequency && reply != "ERRFA;") ++wrong;
            }
        });
    }
    const auto askedAtLeast = [&](int count) {
        for (const auto until = Clock::now() + 20s; asked.load() < count && Clock::now() < until;)
            std::this_thread::sleep_for(10ms);
        return asked.load();
    };
    askedAtLeast(8);
    EXPECT_TRUE(radio.Process().Signal(SIGKILL));
    EXPECT_TRUE(radio.Process().Wait(5s));
    EXPECT_GE(askedAtLeast(askedAtLeast(0) + 8), 16) << "queries stopped with the radio";
    stop = true;
    for (auto& thread : clients) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(unanswered.load(), 0);

    ASSERT_NO_FATAL_FAILURE(ExpectServed("ERRFA;"));
    ExpectNoSpin("radio gone");
    ExpectMemoryBounded("radio gone");
    QuitAndExpectPromptExit();
}

// A radio the test plays itself, so that it knows when a babble ends: it
// answers ID, FA, TX and RM5 and refuses other queries; while it babbles it
// answers nothing and writes 'x' without ";" as fast as the line takes them.
class BabblingRadio {
  public:
    BabblingRadio() : thread([this] { Run(); }) {}
    ~BabblingRadio() {
        stop = true;
        thread.join();
    }
    const std::string& Path() const { return pty.SlavePath(); }
    void BabbleFor(milliseconds duration) {
        babbleUntil = (Clock::now() + duration).time_since_epoch().count();
    }
    bool Babbling() const { return Clock::now().time_since_epoch().count() < babbleUntil.load(); }

  private:
    void Run() {
        const std::string noise(4096, 'x');
        std::string pending;
        while (!stop.load()) {
            const bool babbling = Babbling();
            pollfd p{pty.MasterFd(), static_cast<short>(POLLIN | (babbling ? POLLOUT : 0)), 0};
            const int ready = ::poll(&p, 1, 10);
            if (ready > 0 && (p.revents & POLLIN)) {
                char buffer[4096];
                const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
                if (n > 0) pending.append(buffer, static_cast<std::size_t>(n));
            } else if (ready > 0 && !(p.revents & POLLOUT)) {
                std::this_thread::sleep_for(10ms);  // no one has the terminal open yet
            }
            if (babbling && ready > 0 && (p.revents & POLLOUT)) {
                [[maybe_unused]] const ssize_t n = ::write(p.fd, noise.data(), noise.size());
            }
            for (auto end = pending.find(';'); end != std::string::npos; end = pending.find(';')) {
                const std::string command = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (babbling) continue;
                const std::string reply = command == "ID"    ? "ID019;"
                                          : command == "FA"  ? kFrequency
                                          : command == "TX"  ? "TX0;"
                                          : command == "RM5" ? "RM5000;"
                                                             : "?;";
                pty.Write(reply);
            }
        }
    }

    PseudoTerminal pty;
    std::atomic<bool> stop{false};
    std::atomic<Clock::rep> babbleUntil{0};
    std::thread thread;  // last: starts once the rest is built
};

// Bytes without ";" for seconds: each query gets ERRFA (or the radio's reply)
// in bounded time, the server reads no more than it is asked for, and FA is
// answered again once the stream is over.
TEST_F(FaultRadioTest, RadioStreamingWithoutSemicolonKeepsRepliesBounded) {
    BabblingRadio babbler;
    ASSERT_NO_FATAL_FAILURE(StartStation({}, {}, true, babbler.Path()));
    babbler.BabbleFor(3s);
    // While only the power monitor asks, the stream is read in bounded bites.
    ExpectNoSpin("radio streaming, no client asking", 1s);

    const auto begun = Clock::now();
    const double cpuBefore = CpuSeconds(Pid());
    int errors = 0;
    while (babbler.Babbling()) {
        const auto asked = Clock::now();
        const std::string reply = control->Ask("FA;", 10s);
        EXPECT_LT(Clock::now() - asked, 5s) << "one query held too long by the stream";
        if (reply == "ERRFA;") {
            ++errors;
        } else {
            ASSERT_EQ(reply, kFrequency);
        }
    }
    const double busy = (CpuSeconds(Pid()) - cpuBefore) /
                        std::chrono::duration<double>(Clock::now() - begun).count();
    EXPECT_GT(errors, 0);
    EXPECT_LT(busy, 0.9) << "reading the stream took a whole core";

    // What is left of the stream is drained by the next queries.
    bool answered = false;
    for (int i = 0; i < 40 && !answered; ++i) answered = control->Ask("FA;", 10s) == kFrequency;
    EXPECT_TRUE(answered) << "FA not answered after the stream";
    ExpectNoSpin("stream over", 1s);
    ExpectMemoryBounded("radio streamed");
    QuitAndExpectPromptExit();
}

// The program's end of an app group's port hangs up: the radio stays served,
// the relay on the dead port does not spin, and a new CFG replaces it in
// bounded time.
TEST_F(FaultRadioTest, AppGroupPortVanishingKeepsTheServerServing) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    PseudoTerminal program;
    const std::string document = "CFG{\"ports\": {\"CAT\": {\"port\": \"" + radioPath +
                                 "\"}}, \"ext_groups\": {\"1\": {\"cat\": {\"port\": \"" +
                                 program.SlavePath() + "\"}}}};";
    ASSERT_EQ(control->Ask(document, 15s), "CFG_OK;");
    ASSERT_TRUE(server.WaitOut("CAT relay started"));
    ASSERT_TRUE(program.Write("FA;"));
    EXPECT_TRUE(program.WaitFor(kFrequency, 5s)) << program.TakeReceived();

    program.CloseMaster();
    ASSERT_NO_FATAL_FAILURE(ExpectServed());
    ExpectNoSpin("group port gone");

    const auto sent = Clock::now();
    EXPECT_EQ(control->Ask(document, 15s), "CFG_OK;");
    EXPECT_LT(Clock::now() - sent, 5s);
    ASSERT_NO_FATAL_FAILURE(ExpectServed());
    ExpectNoSpin("group port still gone", 1s);
    QuitAndExpectPromptExit();
}

}  // namespace
}  // namespace brinmoor
