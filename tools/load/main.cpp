// brinmoor-load: a load and soak run against the real server. It starts
// brinmoor and the radio simulator (or uses the ones given), puts the CAT
// port on the radio, runs the clients, ends the server with QUIT and prints a
// summary table. Loopback only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "procstats/child_process.h"
#include "load_options.h"
#include "load_run.h"
#include "query_mix.h"

namespace brinmoor::load {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kStartMs = 10000;  // for a program to start, on a loaded machine
constexpr int kControlReplyMs = 15000;
constexpr int kQuitMs = 10000;
constexpr int kAttachMs = 3000;

void OnStopSignal(int) {
    stopRequested = 1;
}

int Fail(const std::string& why) {
    std::fprintf(stderr, "brinmoor-load: %s\n", why.c_str());
    return 2;
}

// A program beside this tool in the build tree.
std::string BesideTool(const std::string& relative) {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) return {};
    const fs::path path = (self.parent_path() / relative).lexically_normal();
    return fs::exists(path, error) ? path.string() : std::string();
}

std::uint16_t FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// The one connection that configures the server, reads the baseline and
// sends QUIT; blocking, with time-outs.
struct ControlConnection {
    int fd = -1;
    std::string buffered;

    ~ControlConnection() {
        if (fd >= 0) close(fd);
    }

    bool Connect(std::uint16_t port, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
            sockaddr_in server{};
            server.sin_family = AF_INET;
            server.sin_port = htons(port);
            server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd >= 0 &&
                connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) {
                return true;
            }
            if (fd >= 0) close(fd);
            fd = -1;
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    // Sends the frame and returns the reply without its ";", or nothing.
    std::optional<std::string> Ask(const std::string& frame, int timeoutMs) {
        if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size())) {
            return std::nullopt;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (const auto end = buffered.find(';'); end != std::string::npos) {
                std::string reply = buffered.substr(0, end);
                buffered.erase(0, end + 1);
                return reply;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return std::nullopt;
            buffered.append(chunk, static_cast<std::size_t>(n));
        }
    }
};

struct Setup {
    LoadOptions options;
    Child server;
    Child radio;
    fs::path folder;  // the started server's configuration file lives here
    std::uint16_t port = 0;
    pid_t serverPid = 0;
    std::string device;
    ~Setup() {
        EndChild(server, 3000);
        EndChild(radio, 3000);
        if (!folder.empty()) {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
    }
};

std::optional<std::string> StartRadio(Setup& setup) {
    std::string path = setup.options.radiosimPath;
    if (path.empty()) path = BesideTool("../radiosim/brinmoor-radiosim");
    if (path.empty()) return "no radio simulator found beside this tool; give --radiosim";
    std::string error;
    if (!StartChild(setup.radio, {path}, error)) return error;
    const auto device = ReadLineWithin(setup.radio.out, kStartMs);
    if (!device || device->empty()) return "the radio simulator printed no terminal path";
    setup.device = *device;
    return std::nullopt;
}

// The clients, the ones that come back before the server has seen them go,
// and the tool's own connection, with room to spare; never below the default.
std::string MaxClients(const LoadOptions& options) {
    return std::to_string(std::max(256, 2 * options.clients + 8));
}

std::optional<std::string> StartServer(Setup& setup) {
    std::string path = setup.options.serverPath;
    if (path.empty()) path = BesideTool("../../src/brinmoor");
    if (path.empty()) return "no brinmoor binary found beside this tool; give --server";
    char folder[] = "/tmp/brinmoor-load-XXXXXX";
    if (mkdtemp(folder) == nullptr) return std::string("mkdtemp: ") + std::strerror(errno);
    setup.folder = folder;
    const std::string config = (setup.folder / "brinmoor.json").string();
    // Another program may take the free port first; a few tries.
    for (int attempt = 0; attempt < 5; ++attempt) {
        setup.port = FreeLoopbackPort();
        if (setup.port == 0) return "no free loopback port";
        std::string error;
        setup.server = Child{};
        if (!StartChild(setup.server,
                        {path, "--bind", "127.0.0.1", "--port", std::to_string(setup.port),
                         "--config", config, "--max-clients", MaxClients(setup.options)},
                        error)) {
            return error;
        }
        setup.serverPid = setup.server.pid;
        bool listening = false;
        while (auto line = ReadLineWithin(setup.server.out, kStartMs)) {
            if (line->find("Listening on TCP port") != std::string::npos) {
                listening = true;
                break;
            }
        }
        if (!listening) return "the server did not start listening";
        // A failed bind follows the listening line at once.
        if (!WaitForExit(setup.server, 300)) return std::nullopt;
        for (const std::string& line : TakeLines(setup.server.err)) {
            std::fprintf(stderr, "server: %s\n", line.c_str());
        }
        EndChild(setup.server, 1000);
    }
    return "the server could not bind a port";
}

std::string Host() {
    utsname name{};
    if (uname(&name) != 0) return "?";
    return std::string(name.sysname) + " " + name.release + " " + name.machine + ", " +
           std::to_string(std::thread::hardware_concurrency()) + " cores";
}

std::string Today() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", std::localtime(&now));
    return text;
}

void PrintRow(const char* name, const std::string& value) {
    std::printf("  | %-16s | %-52s |\n", name, value.c_str());
}

std::string Number(long long value) {
    return std::to_string(value);
}

std::string Megabytes(long kb) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(kb) / 1024.0);
    return text;
}

void PrintSummary(const Setup& setup, const RunResult& result, const std::string& quit,
                  bool passed) {
    const LoadOptions& options = setup.options;
    std::printf("\nbrinmoor-load summary (%s, %s)\n", Today().c_str(), Host().c_str());
    std::printf("  +------------------+------------------------------------------------------+\n");
    PrintRow("clients", Number(options.clients) + " for " + Number(options.seconds) + " s" +
                            (result.interrupted ? " (interrupted)" : ""));
    PrintRow("connections", Number(result.connections) +
                                (options.churn == 0 ? std::string(" (no churn)")
                                                    : " (churn about every " +
                                                          Number(options.churn) + " replies)"));
    PrintRow("queries",
             Number(result.queries) + " (+ " + Number(result.setCommands) + " set commands)");
    PrintRow("replies", Number(result.replies));
    PrintRow("wrong", Number(result.wrong));
    PrintRow("missing", Number(result.missing));
    PrintRow("errors", Number(result.Errors()) + " (ERR " + Number(result.errReplies) +
                           ", connect " + Number(result.connectFailures) + ", dropped " +
                           Number(result.droppedConnections) + ", stderr " +
                           Number(result.serverErrorLines) + ")");
    PrintRow("abandoned", Number(result.abandoned) + " (clients hung up before the reply)");
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.0f replies/s",
                  result.elapsedSeconds > 0
                      ? static_cast<double>(result.replies) / result.elapsedSeconds
                      : 0.0);
    PrintRow("throughput", rate);
    PrintRow("latency", "median " + Number(result.latencyMedianMs) + " ms, p99 " +
                            Number(result.latencyP99Ms) + " ms, max " +
                            Number(result.latencyMaxMs) + " ms");
    if (setup.serverPid != 0) {
        PrintRow("max RSS", Megabytes(result.maxRssKb) + " (server, max threads " +
                                Number(result.maxThreads) + ")");
        if (result.cpuSeconds >= 0 && result.elapsedSeconds > 0) {
            char cpu[64];
            std::snprintf(cpu, sizeof cpu, "%.0f %% of one core (%.1f s)",
                          100.0 * result.cpuSeconds / result.elapsedSeconds, result.cpuSeconds);
            PrintRow("server CPU", cpu);
        }
    } else {
        PrintRow("max RSS", "unknown (give --pid)");
    }
    if (!quit.empty()) PrintRow("QUIT", quit);
    PrintRow("seed", Number(static_cast<long long>(options.seed)));
    PrintRow("result", passed ? "PASS" : "FAIL");
    std::printf("  +------------------+------------------------------------------------------+\n");
    for (const std::string& fault : result.faults) std::printf("  fault: %s\n", fault.c_str());
    std::fflush(stdout);
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int Main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, OnStopSignal);
    signal(SIGTERM, OnStopSignal);
    RaiseDescriptorLimit();

    Setup setup;
    if (const auto exit = ParseLoadOptions(argc, argv, setup.options)) return *exit;
    LoadOptions& options = setup.options;
    if (!options.seedGiven) {
        options.seed = std::random_device{}() ^
                       static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
        options.seed &= 0x7fffffffffffffffULL;
    }
    const bool ownServer = options.attachPort == 0;

    if (ownServer) {
        if (const auto error = StartServer(setup)) return Fail(*error);
    } else {
        setup.port = static_cast<std::uint16_t>(options.attachPort);
        setup.serverPid = options.pid;
    }
    if (options.sendCfg) {
        setup.device = options.radioDevice;
        if (setup.device.empty()) {
            if (const auto error = StartRadio(setup)) return Fail(*error);
        }
    }

    ControlConnection control;
    // An attached server is already up; one of our own may still be starting.
    if (!control.Connect(setup.port, ownServer ? kStartMs : kAttachMs)) {
        return Fail("cannot connect to 127.0.0.1:" + std::to_string(setup.port));
    }
    if (options.sendCfg) {
        const std::string cfg = "CFG{\"ports\": {\"CAT\": {\"port\": \"" + setup.device + "\"}}};";
        const auto reply = control.Ask(cfg, kControlReplyMs);
        if (reply != "CFG_OK") return Fail("CFG was answered " + reply.value_or("<nothing>"));
    }
    Baseline baseline;
    for (auto [frame, target] : {std::pair{"FA;", &baseline.fa},
                                 {"ID;", &baseline.id},
                                 {"IF;", &baseline.info},
                                 {"PORTS;", &baseline.ports}}) {
        *target = control.Ask(frame, kControlReplyMs).value_or("<nothing>");
    }
    std::string reason;
    if (!BaselineUsable(baseline, &reason)) return Fail("the radio is not usable: " + reason);

    std::printf("brinmoor-load: %d clients for %d s on 127.0.0.1:%u, radio %s, seed %llu\n",
                options.clients, options.seconds, static_cast<unsigned>(setup.port),
                baseline.id.c_str(), static_cast<unsigned long long>(options.seed));
    std::fflush(stdout);

    RunSettings settings;
    settings.port = setup.port;
    settings.clients = options.clients;
    settings.seconds = options.seconds;
    settings.replyTimeoutSeconds = options.replyTimeoutSeconds;
    settings.churn = options.churn;
    settings.paceMs = options.paceMs;
    settings.depth = options.depth;
    settings.seed = options.seed;
    settings.baseline = baseline;
    settings.verbose = options.verbose;
    settings.serverPid = setup.serverPid;
    settings.server = ownServer ? &setup.server : nullptr;
    const RunResult result = RunLoad(settings);

    // QUIT: the server must end at once, with exit code 0.
    std::string quit;
    bool quitOk = true;
    if (ownServer || options.quitAtEnd) {
        const auto sent = Clock::now();
        const auto reply = control.Ask("QUIT;", kControlReplyMs);
        quitOk = reply == "QUIT_OK";
        quit = "QUIT_OK " + std::string(quitOk ? "received" : "missing");
        if (ownServer) {
            std::optional<int> code;
            // Read its output meanwhile so that it can never block on a full pipe.
            while (!code && Clock::now() - sent < std::chrono::milliseconds(kQuitMs)) {
                TakeLines(setup.server.out);
                TakeLines(setup.server.err);
                code = WaitForExit(setup.server, 20);
            }
            char text[96];
            const double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
            if (code) {
                std::snprintf(text, sizeof text, "exit code %d after %.2f s", *code, seconds);
            } else {
                std::snprintf(text, sizeof text, "still running after %.0f s", seconds);
            }
            quit = text;
            quitOk = quitOk && code == 0;
        }
    }
    if (setup.radio.pid > 0) {
        WriteToChild(setup.radio, "quit\n");
        WaitForExit(setup.radio, 3000);
    }

    const bool passed = result.wrong == 0 && result.missing == 0 && result.Errors() == 0 && quitOk;
    PrintSummary(setup, result, quit, passed);
    return passed ? 0 : 1;
}

}  // namespace
}  // namespace brinmoor::load

int main(int argc, char** argv) {
    return brinmoor::load::Main(argc, argv);
}
