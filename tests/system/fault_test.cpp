// Faults against the real server: a radio that dies, falls silent or babbles,
// an app group's port that vanishes, clients that flood, vanish or send
// nonsense configurations, and QUIT under load. Whatever happens, the server
// keeps serving its other clients, answers as it should, never spins a core,
// keeps its memory bounded and ends with exit code 0 soon after QUIT.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "procstats/proc_stats.h"
#include "support/posix/process.h"
#include "support/posix/pty.h"
#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::CatCfg;
using test::ChildProcess;
using test::PseudoTerminal;
using test::ServerProcess;
using test::TcpClient;

const std::string kFrequency = "FA00014074000;";
constexpr double kIdleCpuLimit = 0.30;  // of one core
// QUIT is noticed within a second; the margin is for a loaded machine.
constexpr auto kQuitLimit = 3s;

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// A raw loopback connection for what TcpClient does not do: time-outs on
// sending, and hanging up with a reset.
class RawClient {
  public:
    explicit RawClient(std::uint16_t port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
            return;
        }
        // A server that stops reading must not hold the test.
        const timeval timeout{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return fd >= 0; }

    // Sends as much as the server takes; false once it fails or stalls.
    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    // True when the server closes (or resets) the connection within the time.
    bool WaitClosed(milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        char chunk[4096];
        while (Clock::now() < deadline) {
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got == 0) return true;
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
        }
        return false;
    }

    // Hangs up at once: unread replies are thrown away and the server's next
    // send meets a reset.
    void Vanish() {
        if (fd < 0) return;
        const linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        Close();
    }

    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

  private:
    int fd = -1;
};

class FaultTest : public ::testing::Test {
  protected:
    // A server whose CAT port is on the device, or on the radio simulator (a
    // child of the test, so that it can be killed) when none is given.
    void StartServer(const std::string& device = "") {
        radioPath = device;
        if (radioPath.empty()) {
            ASSERT_TRUE(radio.Start({test::kRadioSimBinary}));
            const auto path = radio.ReadLine(5s);
            ASSERT_TRUE(path);
            radioPath = *path;
            radioHold.fd = ::open(radioPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        }
        ASSERT_TRUE(server.StartListening());
        control = std::make_unique<TcpClient>(server.Port());
        ASSERT_TRUE(control->Connected());
        ASSERT_EQ(control->Ask(CatCfg(radioPath), 15s), "CFG_OK;");
        ASSERT_TRUE(server.WaitOut("Radio ID: ID019", 10s));
        start = ReadProcFigures(Pid());
        ASSERT_TRUE(start.ok);
    }

    pid_t Pid() { return server.Process().Pid(); }

    bool RadioControl(const std::string& line) {
        return radio.Write(line + "\n") && radio.ReadLine(5s) == "ok";
    }

    // A client that connects now is served: FA gets the given reply (the
    // radio's, or ERRFA when it cannot answer) and PORTS the status text.
    void ExpectServed(const std::string& fa) {
        TcpClient fresh(server.Port());
        ASSERT_TRUE(fresh.Connected());
        EXPECT_EQ(fresh.Ask("FA;", 15s), fa);
        EXPECT_EQ(fresh.Ask("PORTS;", 5s).rfind("PORTS{\"tcp_port\"", 0), 0u);
    }

    // The server's CPU over the window stays well below a whole core.
    void ExpectNoSpin(const char* what, milliseconds window = 2s, double limit = kIdleCpuLimit) {
        const double share = CpuShareOver(Pid(), window);
        std::printf("[   info   ] %s: server CPU %.0f %% of one core over %.1f s\n", what,
                    share * 100.0, Seconds(window));
        ASSERT_GE(share, 0.0) << "no CPU figures for the server";
        EXPECT_LT(share, limit) << what;
    }

    // Resident memory has not grown by more than a generous bound: sanitizer
    // builds start larger and pay more for every thread, hence the terms for
    // the size at start and for each live thread.
    void ExpectMemoryBounded(const char* what) {
        const ProcFigures now = ReadProcFigures(Pid());
        ASSERT_TRUE(now.ok);
        const long limitKb = std::max(64L * 1024, 3 * start.rssKb) + 2048L * now.threads;
        std::printf("[   info   ] %s: server RSS %ld kB (%ld kB at start), %d threads\n", what,
                    now.rssKb, start.rssKb, now.threads);
        EXPECT_LT(now.rssKb - start.rssKb, limitKb) << what;
    }

    // QUIT: "QUIT_OK;", then the process ends with exit code 0 at once.
    void QuitAndExpectPromptExit() {
        server.DrainOutput(10ms);
        const auto sent = Clock::now();
        EXPECT_EQ(control->Ask("QUIT;", 5s), "QUIT_OK;");
        const auto code = server.Wait(15s);
        const auto took = Clock::now() - sent;
        std::printf("[   info   ] exit code %d %.2f s after QUIT\n", code.value_or(-1),
                    Seconds(took));
        EXPECT_EQ(code, 0);
        EXPECT_LT(took, kQuitLimit);
    }

    ChildProcess radio;
    std::string radioPath;
    // The radio's terminal, held open until the server has gone: once a test
    // kills the radio, the server keeps trying to reopen that name, and must
    // not find another test's terminal under it.
    struct HeldTerminal {
        int fd = -1;
        ~HeldTerminal() {
            if (fd >= 0) ::close(fd);
        }
    } radioHold;
    ServerProcess server;
    std::unique_ptr<TcpClient> control;
    ProcFigures start;
};

// The radio's pseudo-terminal closes under running queries (the simulator is
// killed): every query still gets one reply, the radio's or ERRFA; afterwards
// FA gets ERRFA at once, the server idles and quits cleanly.
TEST_F(FaultTest, RadioKilledMidRunGivesErrAndTheServerIdles) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
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
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(radio.Signal(SIGKILL));
    EXPECT_TRUE(radio.Wait(5s));
    std::this_thread::sleep_for(1s);
    stop = true;
    for (auto& thread : clients) thread.join();
    EXPECT_GT(asked.load(), 4);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(unanswered.load(), 0);

    ASSERT_NO_FATAL_FAILURE(ExpectServed("ERRFA;"));
    ExpectNoSpin("radio gone");
    ExpectMemoryBounded("radio gone");
    QuitAndExpectPromptExit();
}

// A silent radio (switched off): every query gets ERRFA after its two
// attempts, the server's own commands stay quick for everyone else, nothing
// spins, and FA is answered again once the radio speaks.
TEST_F(FaultTest, SilentRadioGivesErrWhileOthersAreServed) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_TRUE(RadioControl("silent on"));
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c) {
        clients.emplace_back([&] {
            TcpClient own(server.Port());
            if (own.Ask("FA;", 20s) != "ERRFA;") ++wrong;
        });
    }
    {
        // The server's own replies do not wait for the radio.
        TcpClient other(server.Port());
        const auto asked = Clock::now();
        EXPECT_EQ(other.Ask("PW;", 5s), "PW0000;");
        EXPECT_EQ(other.Ask("PORTS;", 5s).rfind("PORTS{", 0), 0u);
        EXPECT_LT(Clock::now() - asked, 2s);
    }
    ExpectNoSpin("silent radio, clients waiting");
    for (auto& thread : clients) thread.join();
    EXPECT_EQ(wrong.load(), 0);

    ASSERT_TRUE(RadioControl("silent off"));
    ASSERT_NO_FATAL_FAILURE(ExpectServed(kFrequency));
    ExpectMemoryBounded("silent radio");
    QuitAndExpectPromptExit();
}

// A radio on a pseudo-terminal that the test plays itself, so that it knows
// when a babble ends: it answers ID, FA, TX and RM5 and refuses other
// queries; while it babbles it answers nothing and writes 'x' without ";" as
// fast as the line takes them.
class BabblingRadio {
  public:
    BabblingRadio() : thread([this] { Run(); }) {}
    ~BabblingRadio() {
        stop = true;
        thread.join();
    }
    BabblingRadio(const BabblingRadio&) = delete;
    BabblingRadio& operator=(const BabblingRadio&) = delete;

    const std::string& Path() const { return pty.SlavePath(); }
    void BabbleFor(milliseconds duration) {
        babbleUntil = (Clock::now() + duration).time_since_epoch().count();
    }
    bool Babbling() const { return Clock::now().time_since_epoch().count() < babbleUntil.load(); }
    long long Babbled() const { return babbled.load(); }

  private:
    void Answer(const std::string& command) {
        std::string reply;
        if (command == "ID") reply = "ID019;";
        if (command == "FA") reply = "FA00014074000;";
        if (command == "TX") reply = "TX0;";
        if (command == "RM5") reply = "RM5000;";
        if (reply.empty() && command.size() == 2) reply = "?;";
        pty.Write(reply);
    }

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
                const ssize_t n = ::write(p.fd, noise.data(), noise.size());
                if (n > 0) babbled += n;
            }
            for (auto end = pending.find(';'); end != std::string::npos; end = pending.find(';')) {
                const std::string command = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!babbling) Answer(command);
            }
        }
    }

    PseudoTerminal pty;
    std::atomic<bool> stop{false};
    std::atomic<Clock::rep> babbleUntil{0};
    std::atomic<long long> babbled{0};
    std::thread thread;  // last: starts once the rest is built
};

// A radio that streams bytes without ";" for seconds: each query gets ERRFA
// (or, at the very end, the radio's reply) in bounded time, memory stays
// bounded, the server reads no more than it is asked for (idle CPU stays
// low), and FA is answered again once the stream is over.
TEST_F(FaultTest, RadioStreamingWithoutSemicolonKeepsRepliesBounded) {
    BabblingRadio babbler;
    ASSERT_NO_FATAL_FAILURE(StartServer(babbler.Path()));
    babbler.BabbleFor(4s);
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
    const double busy = (CpuSeconds(Pid()) - cpuBefore) / Seconds(Clock::now() - begun);
    std::printf("[   info   ] %lld bytes without ';', %d queries got ERRFA, server CPU %.0f %%\n",
                babbler.Babbled(), errors, busy * 100.0);
    EXPECT_GT(errors, 0);
    EXPECT_LT(busy, 0.9) << "reading the stream took a whole core";

    // What is left of the stream is drained by the next queries.
    bool answered = false;
    for (int i = 0; i < 40 && !answered; ++i) answered = control->Ask("FA;", 10s) == kFrequency;
    EXPECT_TRUE(answered) << "FA not answered after the stream";
    ASSERT_NO_FATAL_FAILURE(ExpectServed(kFrequency));
    ExpectNoSpin("stream over");
    ExpectMemoryBounded("radio streamed");
    QuitAndExpectPromptExit();
}

// An app group's port vanishes (the program's end of the cable hangs up):
// the radio stays served, the relay on the dead port does not spin, a new
// CFG replaces it in bounded time and QUIT still ends the server at once.
TEST_F(FaultTest, AppGroupPortVanishingKeepsTheServerServing) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    auto program = std::make_unique<PseudoTerminal>();
    ASSERT_TRUE(program->IsOpen());
    const std::string document = "CFG{\"ports\": {\"CAT\": {\"port\": \"" + radioPath +
                                 "\"}}, \"ext_groups\": {\"1\": {\"cat\": {\"port\": \"" +
                                 program->SlavePath() + "\"}}}};";
    ASSERT_EQ(control->Ask(document, 15s), "CFG_OK;");
    if (!server.WaitOut("CAT relay started", 5s)) {
        GTEST_SKIP() << "this build starts no CAT relays yet";
    }
    program->TakeReceived();
    ASSERT_TRUE(program->Write("FA;"));
    EXPECT_TRUE(program->WaitFor(kFrequency, 5s)) << program->TakeReceived();

    program->CloseMaster();
    std::this_thread::sleep_for(300ms);
    ASSERT_NO_FATAL_FAILURE(ExpectServed(kFrequency));
    ExpectNoSpin("group port gone");

    // The same document again: the old relay stops, the vanished port cannot
    // be opened, and the reply still comes.
    const auto sent = Clock::now();
    EXPECT_EQ(control->Ask(document, 15s), "CFG_OK;");
    std::printf("[   info   ] CFG over a vanished group port answered in %.2f s\n",
                Seconds(Clock::now() - sent));
    EXPECT_LT(Clock::now() - sent, 5s);
    ASSERT_NO_FATAL_FAILURE(ExpectServed(kFrequency));
    ExpectNoSpin("group port still gone");
    ExpectMemoryBounded("group port gone");
    QuitAndExpectPromptExit();
}

// Clients sending a megabyte each without ";" are cut off once the bound is
// reached (and told so on standard error); the server keeps serving the
// others and its memory does not follow the flood.
TEST_F(FaultTest, ClientsSendingAMegabyteWithoutSemicolonAreCutOff) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    constexpr int kFlooders = 4;
    std::atomic<int> cutOff{0};
    std::vector<std::thread> flooders;
    for (int c = 0; c < kFlooders; ++c) {
        flooders.emplace_back([&] {
            RawClient flood(server.Port());
            if (!flood.Connected()) return;
            const std::string chunk(64 * 1024, 'x');
            for (int i = 0; i < 16 && flood.Send(chunk); ++i) {
            }
            if (flood.WaitClosed(5s)) ++cutOff;
        });
    }
    for (auto& thread : flooders) thread.join();
    EXPECT_EQ(cutOff.load(), kFlooders);
    for (int c = 0; c < kFlooders; ++c) {
        EXPECT_TRUE(server.WaitErr("bytes without ';'", 5s)) << "flooder " << c;
    }
    ASSERT_NO_FATAL_FAILURE(ExpectServed(kFrequency));
    ExpectNoSpin("after the floods", 1s);
    ExpectMemoryBounded("after the floods");
    QuitAndExpectPromptExit();
}

// Clients that vanish in the middle of their replies (reset, nothing read),
// and one that stops reading altogether: the server never dies of the broken
// connections, serves everyone else meanwhile, and every one of those
// sessions ends, leaving no thread behind.
TEST_F(FaultTest, ClientsVanishingMidReplyLeaveNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    std::string burst;
    for (int i = 0; i < 60; ++i) burst += "PORTS;FA;ID;";
    for (int c = 0; c < 20; ++c) {
        RawClient gone(server.Port());
        ASSERT_TRUE(gone.Connected());
        gone.Send(burst);
        std::this_thread::sleep_for(10ms);  // some replies are on their way
        gone.Vanish();
    }
    // Asks for far more than the socket buffers hold and never reads: its
    // session blocks in sending; nobody else's does.
    RawClient stalled(server.Port());
    ASSERT_TRUE(stalled.Connected());
    std::string many;
    for (int i = 0; i < 20000; ++i) many += "PORTS;";
    stalled.Send(many);
    ASSERT_NO_FATAL_FAILURE(ExpectServed(kFrequency));
    stalled.Vanish();

    // Every one of those sessions ends: the thread count goes back down.
    const auto deadline = Clock::now() + 20s;
    ProcFigures now = ReadProcFigures(Pid());
    while (now.threads > start.threads && Clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
        server.DrainOutput(1ms);
        now = ReadProcFigures(Pid());
    }
    EXPECT_LE(now.threads, start.threads) << "session threads left behind";
    ExpectNoSpin("after the vanished clients", 1s);
    ExpectMemoryBounded("after the vanished clients");
    QuitAndExpectPromptExit();
}

// A burst of connections while the server accepts them only slowly (it is
// stopped and continued every few milliseconds): every client is served, and
// no client's first bytes are lost on the way in. With a short listen queue
// the system sheds the overflow with SYN cookies, and a connection made that
// way can lose the client's first segment without an error on either side.
TEST_F(FaultTest, ConnectionBurstToASlowServerLosesNoBytes) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    constexpr int kClients = 200;
    std::atomic<bool> burstOver{false};
    std::thread stutter([&] {
        while (!burstOver.load()) {
            server.Process().Signal(SIGSTOP);
            std::this_thread::sleep_for(20ms);
            server.Process().Signal(SIGCONT);
            std::this_thread::sleep_for(2ms);
        }
        server.Process().Signal(SIGCONT);
    });
    std::atomic<int> served{0};
    std::vector<std::string> wrong(kClients);
    std::vector<std::thread> clients;
    const auto begun = Clock::now();
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            TcpClient own(server.Port(), 30s);
            std::string replies;
            if (own.Connected() && own.Send("ID;FA;")) {
                replies = own.ReadUntil(";", 30s);
                replies += own.ReadUntil(";", 30s);
            }
            if (replies == "ID019;" + kFrequency) {
                ++served;
            } else {
                wrong[static_cast<std::size_t>(c)] = replies.empty() ? "<nothing>" : replies;
            }
        });
    }
    for (auto& thread : clients) thread.join();
    burstOver = true;
    stutter.join();
    std::printf("[   info   ] %d clients served in %.1f s\n", served.load(),
                Seconds(Clock::now() - begun));
    EXPECT_EQ(served.load(), kClients);
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(wrong[static_cast<std::size_t>(c)], "") << "client " << c;
    }
    server.DrainOutput(10ms);
    ExpectMemoryBounded("after the burst");
    QuitAndExpectPromptExit();
}

// One random CFG document: valid, valid but cut short, garbage bytes, or an
// odd shape. Never contains ";" and is never empty.
class CfgDocuments {
  public:
    CfgDocuments(std::uint32_t seed, std::string radioPath, std::string groupPath)
        : random(seed), radio(std::move(radioPath)), group(std::move(groupPath)) {}

    std::string Next() {
        std::string document;
        switch (Pick(10)) {
            case 0:
            case 1:
            case 2:
            case 3:
                document = Valid();
                break;
            case 4:
            case 5: {
                const std::string whole = Valid();
                document = whole.substr(0, 1 + Pick(static_cast<int>(whole.size())));
                break;
            }
            case 6:
            case 7:
                document = Garbage();
                break;
            default:
                document = Odd();
                break;
        }
        std::replace(document.begin(), document.end(), ';', ',');
        return document.empty() ? "{" : document;
    }

  private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

    template <typename T>
    const T& OneOf(const std::vector<T>& choices) {
        return choices[static_cast<std::size_t>(Pick(static_cast<int>(choices.size())))];
    }

    std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

    std::string PortEntry(bool cat) {
        std::string entry = "{";
        // The server's own ports never name the radio's terminal: holding it
        // there would keep the CAT port from reopening.
        std::vector<std::string> ports = {
            Quoted("NONE"), Quoted("none"), Quoted(""), Quoted("/nonexistent/ttyBM0"), "5", "null"};
        if (cat) ports.insert(ports.end(), 3, Quoted(radio));
        if (Pick(8) != 0) entry += "\"port\": " + OneOf(ports);
        const std::vector<std::string> bauds = {"38400", "9600",   "\"9600\"", "1e12",  "-1",
                                                "0",     "4800.7", "115200",   "1e300", "-1e300"};
        if (Pick(2) == 0)
            entry += std::string(entry.size() > 1 ? ", " : "") + "\"baud\": " + OneOf(bauds);
        const std::vector<std::string> sizes = {"8", "7", "\"7\"", "100", "-3", "5", "1e10"};
        if (Pick(3) == 0)
            entry += std::string(entry.size() > 1 ? ", " : "") + "\"bytesize\": " + OneOf(sizes);
        const std::vector<std::string> parities = {"\"N\"",     "\"E\"", "\"odd\"",
                                                   "\"space\"", "\"Q\"", "1"};
        if (Pick(3) == 0)
            entry += std::string(entry.size() > 1 ? ", " : "") + "\"parity\": " + OneOf(parities);
        const std::vector<std::string> stops = {"1", "1.5", "2", "0", "\"x\"", "1e300", "-7"};
        if (Pick(3) == 0)
            entry += std::string(entry.size() > 1 ? ", " : "") + "\"stopbits\": " + OneOf(stops);
        const std::vector<std::string> flows = {"\"DTR\"", "\"RTS\"", "\"\"", "\"DSR\"", "7"};
        if (!cat && Pick(3) == 0)
            entry += std::string(entry.size() > 1 ? ", " : "") + "\"flow\": " + OneOf(flows);
        return entry + "}";
    }

    std::string GroupEntry() {
        std::string entry = "{";
        const std::vector<std::string> names = {"\"Logger\"", "\"\"", "\"a\\\"b\\\\c\\u00e9\\n\"",
                                                "42"};
        if (Pick(2) == 0) entry += "\"name\": " + OneOf(names) + ", ";
        const std::vector<std::string> ports = {Quoted("/nonexistent/ttyG0"), Quoted("NONE"), "3"};
        // Now and then a real port, so that relays start and are stopped again.
        const std::string port = Pick(40) == 0 ? Quoted(group) : OneOf(ports);
        const std::vector<std::string> kinds = {"cat", "ptt", "cw", "winkey", "fsk"};
        entry += Quoted(OneOf(kinds)) + ": {\"port\": " + port + "}";
        return entry + "}";
    }

    std::string Valid() {
        std::string document = "{";
        if (Pick(5) != 0) {
            document += "\"ports\": {\"CAT\": " + PortEntry(true);
            const std::vector<std::string> own = {"PTT", "CW", "WinKey", "FSK"};
            for (int i = Pick(3); i > 0; --i)
                document += ", " + Quoted(OneOf(own)) + ": " + PortEntry(false);
            document += "}";
        }
        if (Pick(3) != 0) {
            if (document.size() > 1) document += ", ";
            document += "\"ext_groups\": {";
            const std::vector<std::string> keys = {"1",  "2",   "-1",          "07",
                                                   "2x", "abc", "99999999999", " 3"};
            for (int i = Pick(4); i > 0; --i) {
                document += Quoted(OneOf(keys)) + ": " + GroupEntry() + (i > 1 ? ", " : "");
            }
            document += "}";
        }
        return document + "}";
    }

    std::string Garbage() {
        std::string bytes(static_cast<std::size_t>(1 + Pick(300)), '\0');
        for (char& byte : bytes) byte = static_cast<char>(Pick(256));
        return bytes;
    }

    std::string Odd() {
        switch (Pick(8)) {
            case 0:
                return std::string(200, '{');
            case 1:
                return std::string(100, '[');
            case 2:
                return "{\"ports\": " + std::string(70, '[') + "}";
            case 3:
                return "{\"ports\": {\"CAT\": {\"port\": \"" + std::string(20000, 'p') + "\"}}}";
            case 4:
                return "\"\\ud800\\u0000\\uzzzz\"";
            case 5:
                return "-" + std::string(400, '9') + "e99999";
            case 6:
                return "{\"a\": tru, \"b\": nul, \"c\": 1.2.3}";
            default:
                return "  \t\r\n ";
        }
    }

    std::mt19937 random;
    std::string radio;
    std::string group;
};

std::string Printable(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes.substr(0, 200)) {
        if (c >= 0x20 && c < 0x7f) {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text;
}

// 1,000 random CFG documents in a row (seeded): each is answered "CFG_OK;"
// whatever it holds, and afterwards a valid one puts the radio back and the
// server serves, idles and quits as before.
TEST_F(FaultTest, AThousandRandomCfgDocumentsAreEachAnswered) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    PseudoTerminal groupPort;
    ASSERT_TRUE(groupPort.IsOpen());
    constexpr std::uint32_t kSeed = 20240611;
    CfgDocuments documents(kSeed, radioPath, groupPort.SlavePath());
    const auto begun = Clock::now();
    for (int i = 0; i < 1000; ++i) {
        const std::string document = documents.Next();
        const std::string reply = control->Ask("CFG" + document + ";", 15s);
        ASSERT_EQ(reply, "CFG_OK;")
            << "document " << i << " of seed " << kSeed << ": " << Printable(document);
        // Read the server's lines as they come so its output never blocks it.
        server.DrainOutput(1ms);
    }
    std::printf("[   info   ] 1000 CFG documents in %.1f s\n", Seconds(Clock::now() - begun));
    server.DrainOutput(10ms);
    auto printed = [&](const char* text) {
        return std::count_if(server.OutLines().begin(), server.OutLines().end(),
                             [&](const std::string& line) { return line.find(text) != line.npos; });
    };
    const auto bad = printed("[config] Bad CFG JSON");
    const auto opened = printed("Radio ID: ID019");
    const auto relays = printed("relay started");
    std::printf("[   info   ] %ld refused as bad JSON, %ld opened the radio, %ld started relays\n",
                static_cast<long>(bad), static_cast<long>(opened), static_cast<long>(relays));
    EXPECT_GT(bad, 100);
    EXPECT_GT(opened, 50);
    EXPECT_GT(relays, 0);

    ASSERT_EQ(control->Ask(CatCfg(radioPath), 15s), "CFG_OK;");
    ASSERT_NO_FATAL_FAILURE(ExpectServed(kFrequency));
    const std::string saved = test::ReadWholeFile(server.SavedFile());
    EXPECT_NE(saved.find(radioPath), std::string::npos) << saved;
    ExpectNoSpin("after 1000 CFG documents");
    ExpectMemoryBounded("after 1000 CFG documents");
    QuitAndExpectPromptExit();
}

// QUIT while 50 clients keep the server busy: "QUIT_OK;", then exit code 0
// within the limit; every reply the clients got before the end was right.
TEST_F(FaultTest, QuitUnderFullLoadEndsTheServerAtOnce) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    std::atomic<int> answered{0}, wrong{0};
    std::vector<std::thread> clients;
    const std::vector<std::pair<std::string, std::string>> mix = {
        {"FA;", kFrequency}, {"ID;", "ID019;"}, {"PC;", "PC100;"}, {"PW;", "PW0"}};
    for (int c = 0; c < 50; ++c) {
        clients.emplace_back([&, c] {
            TcpClient own(server.Port(), 10s);
            for (std::size_t i = static_cast<std::size_t>(c);; ++i) {
                const auto& [query, expected] = mix[i % mix.size()];
                const std::string reply = own.Ask(query, 10s);
                // A cut-off reply or none at all: the server has gone.
                if (reply.empty() || reply.back() != ';') break;
                if (reply.rfind(expected, 0) == 0) {
                    ++answered;
                } else {
                    ++wrong;
                }
            }
        });
    }
    std::this_thread::sleep_for(2s);
    ExpectMemoryBounded("under load");
    QuitAndExpectPromptExit();
    for (auto& thread : clients) thread.join();
    std::printf("[   info   ] %d replies before QUIT\n", answered.load());
    EXPECT_GT(answered.load(), 50);
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace brinmoor
