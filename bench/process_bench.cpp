// Figures 5 to 7: what the server process costs while nothing happens, how
// much memory idle clients take, and how soon it accepts after launch.
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "bench.h"
#include "station.h"
#include "procstats/proc_stats.h"
#include "support/posix/pty.h"
#include "support/posix/tcp_client.h"

namespace brinmoor::bench {
namespace {

using test::PseudoTerminal;

constexpr int kGroups = 10;

struct CpuShare {
    double percent = 0;       // CPU time of the server, % of one core
    double wakeupsPerS = 0;   // its threads' context switches a second
    double bareWakeupUs = 0;  // CPU time of one wake-up of a thread that does nothing else
};

// Ten threads of this process that only sleep 50 ms and wake, run beside the
// server during its window: what one wake-up costs on this machine just now.
class BareWakeups {
  public:
    BareWakeups() {
        for (int i = 0; i < 10; ++i) {
            threads.emplace_back([this] {
                long count = 0;
                while (!stop.load()) {
                    ::poll(nullptr, 0, 50);
                    ++count;
                }
                timespec cpu{};
                ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
                std::lock_guard<std::mutex> guard(mutex);
                wakeups += count;
                seconds += static_cast<double>(cpu.tv_sec) + cpu.tv_nsec / 1e9;
            });
        }
    }
    // Microseconds of CPU time per wake-up.
    double Finish() {
        stop.store(true);
        for (std::thread& thread : threads) thread.join();
        threads.clear();
        return wakeups > 0 ? 1e6 * seconds / static_cast<double>(wakeups) : 0;
    }
    ~BareWakeups() {
        if (!threads.empty()) Finish();
    }
    BareWakeups(const BareWakeups&) = delete;
    BareWakeups& operator=(const BareWakeups&) = delete;

  private:
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::mutex mutex;
    long wakeups = 0;
    double seconds = 0;
};

std::optional<CpuShare> MeasureCpu(pid_t pid, milliseconds window) {
    BareWakeups bare;
    const auto cost = MeasureThreadCost(pid, window);
    const double bareUs = bare.Finish();
    if (!cost) return std::nullopt;
    return CpuShare{cost->percent, cost->wakeupsPerS, bareUs};
}

// "0.61 % (780 wake-ups/s, 7.8 us each)"
std::string CpuText(const CpuShare& share) {
    const double each = share.wakeupsPerS > 0 ? 1e4 * share.percent / share.wakeupsPerS : 0;
    return Fixed(share.percent, 2) + " % (" + Fixed(share.wakeupsPerS, 0) + " wake-ups/s, " +
           Fixed(each, 1) + " us each)";
}

std::string PortEntry(const PseudoTerminal& terminal) {
    return "{\"port\": \"" + terminal.SlavePath() + "\"}";
}

// The server's own four keying ports and ten groups of five relay ports.
std::string FullGroupsDocument(const Station& station,
                               const std::vector<std::unique_ptr<PseudoTerminal>>& terminals) {
    std::string document =
        "{\"ports\": {" + station.CatEntry() + ", \"PTT\": " + PortEntry(*terminals[0]) +
        ", \"CW\": " + PortEntry(*terminals[1]) + ", \"WinKey\": " + PortEntry(*terminals[2]) +
        ", \"FSK\": " + PortEntry(*terminals[3]) + "}, \"ext_groups\": {";
    static constexpr const char* kinds[] = {"cat", "ptt", "cw", "winkey", "fsk"};
    for (int group = 1; group <= kGroups; ++group) {
        if (group > 1) document += ", ";
        const std::string number = std::to_string(group);
        document += "\"";
        document += number;
        document += "\": {\"name\": \"App ";
        document += number;
        document += "\"";
        for (int kind = 0; kind < 5; ++kind) {
            document += std::string(", \"") + kinds[kind] +
                        "\": " + PortEntry(*terminals[4 + (group - 1) * 5 + kind]);
        }
        document += "}";
    }
    return document + "}}";
}

int CountLines(const std::vector<std::string>& lines, std::string_view text) {
    int count = 0;
    for (const std::string& line : lines) count += line.find(text) != std::string::npos;
    return count;
}

}  // namespace

void MeasureIdleCost(const Settings& settings, std::vector<Row>& rows) {
    Station station;
    if (!station.StartWithRadio()) {
        rows.push_back({"5", "Idle CPU", "not run", "", "", "", Verdict::Missed});
        std::fprintf(stderr, "figure 5: %s\n", station.failure.c_str());
        return;
    }
    const pid_t pid = station.server.Process().Pid();
    const std::string seconds = Fixed(settings.idleWindow.count() / 1000.0, 0) + " s";

    std::fprintf(stderr, "figure 5: idle CPU, no groups (%s)...\n", seconds.c_str());
    std::this_thread::sleep_for(milliseconds(500));
    const auto bare = MeasureCpu(pid, settings.idleWindow);
    if (!bare) {
        rows.push_back({"5", "Idle CPU", "no /proc figures", "", "", "", Verdict::Missed});
        return;
    }
    rows.push_back({"5", "Idle CPU, radio, no groups", CpuText(*bare),
                    Fixed(bare->bareWakeupUs, 1) + " us a bare wake-up", "", "", Verdict::Info});

    std::vector<std::unique_ptr<PseudoTerminal>> terminals;
    for (int i = 0; i < 4 + kGroups * 5; ++i)
        terminals.push_back(std::make_unique<PseudoTerminal>());
    const std::size_t mark = station.server.OutLines().size();
    if (!station.Configure(FullGroupsDocument(station, terminals),
                           "[relay] FSK relay started for group " + std::to_string(kGroups))) {
        rows.push_back({"5", "Idle CPU, 10 full groups", "not run", "", "", "", Verdict::Missed});
        std::fprintf(stderr, "figure 5: %s\n", station.failure.c_str());
        return;
    }
    station.server.DrainOutput(milliseconds(300));
    const std::vector<std::string> lines(station.server.OutLines().begin() + mark,
                                         station.server.OutLines().end());
    const int relays = CountLines(lines, "relay started for group");
    const std::string started = std::to_string(relays) + " relays";

    std::fprintf(stderr, "figure 5: idle CPU, %d groups, none active (%s)...\n", kGroups,
                 seconds.c_str());
    std::this_thread::sleep_for(milliseconds(500));
    const auto groups = MeasureCpu(pid, settings.idleWindow);

    std::fprintf(stderr, "figure 5: idle CPU, %d groups, group 1 active (%s)...\n", kGroups,
                 seconds.c_str());
    station.control->Ask("AG1;");
    std::this_thread::sleep_for(milliseconds(500));
    const auto active = MeasureCpu(pid, settings.idleWindow);

    using Phase = std::pair<std::optional<CpuShare>, std::string>;
    for (const auto& [share, what] :
         {Phase{groups, "Idle CPU, 10 full groups (" + started + "), none active"},
          Phase{active, "Idle CPU, 10 full groups, group 1 active"}}) {
        if (!share) {
            rows.push_back({"5", what, "no /proc figures", "", "", "", Verdict::Missed});
            continue;
        }
        rows.push_back({"5", what, CpuText(*share),
                        Fixed(bare->percent, 2) + " % no groups; " + Fixed(share->bareWakeupUs, 1) +
                            " us a bare wake-up",
                        Signed(share->percent - bare->percent, 2) + " %", "<= 1 % of a core",
                        Check(share->percent <= 1.0 && relays == kGroups * 5)});
    }
}

void MeasureMemory(const Settings& settings, std::vector<Row>& rows) {
    std::fprintf(stderr, "figure 6: resident memory with 0 and %d idle clients...\n",
                 settings.idleClients);
    Station station;
    if (!station.StartWithRadio()) {
        rows.push_back({"6", "Resident memory", "not run", "", "", "", Verdict::Missed});
        std::fprintf(stderr, "figure 6: %s\n", station.failure.c_str());
        return;
    }
    const pid_t pid = station.server.Process().Pid();
    // The client that configured the radio leaves: nobody is connected.
    station.control->Close();
    std::this_thread::sleep_for(milliseconds(500));
    const ProcFigures empty = ReadProcFigures(pid);

    std::vector<int> clients;
    int answered = 0;
    for (int i = 0; i < settings.idleClients; ++i) {
        int fd = ConnectLoopback(station.server.Port());
        if (fd < 0) break;
        clients.push_back(fd);
        // Each session proves it runs before the next client comes.
        std::string buffer;
        answered += TimedExchange(fd, buffer, "PORTS;", "PORTS{").has_value();
    }
    std::this_thread::sleep_for(milliseconds(500));
    const ProcFigures full = ReadProcFigures(pid);
    for (int& fd : clients) CloseFd(fd);

    if (!empty.ok || !full.ok) {
        rows.push_back({"6", "Resident memory", "no /proc figures", "", "", "", Verdict::Missed});
        return;
    }
    const double emptyMiB = empty.rssKb / 1024.0;
    const double fullMiB = full.rssKb / 1024.0;
    rows.push_back({"6", "Resident memory, 0 clients", Fixed(emptyMiB, 1) + " MiB", "", "", "",
                    Verdict::Info});
    const double perClient =
        answered > 0 ? static_cast<double>(full.rssKb - empty.rssKb) / answered : 0;
    rows.push_back({"6",
                    "Resident memory, " + std::to_string(answered) + " idle clients (" +
                        std::to_string(full.threads) + " threads)",
                    Fixed(fullMiB, 1) + " MiB", Fixed(emptyMiB, 1) + " MiB (0)",
                    Signed(perClient, 0) + " KiB a client", "<= 32 MiB",
                    Check(fullMiB <= 32 && answered == settings.idleClients)});
}

void MeasureStartUp(const Settings& settings, std::vector<Row>& rows) {
    std::fprintf(stderr, "figure 7: start-up to listening, %d launches...\n", settings.startups);
    std::vector<double> startUps;
    std::vector<double> launches;
    test::ServerProcess server;  // its own folder: no saved file, so no radio
    for (int i = 0; i < settings.startups; ++i) {
        // The launch cost of this machine: a program that does nothing.
        {
            test::ChildProcess nothing;
            const auto start = Clock::now();
            if (nothing.Start({"/bin/true"}) && nothing.Wait(milliseconds(5000))) {
                launches.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
        }
        const std::uint16_t port = test::FreeLoopbackPort();
        const auto start = Clock::now();
        if (!server.Start({"--bind", "127.0.0.1", "--port", std::to_string(port)})) continue;
        const auto deadline = start + milliseconds(5000);
        while (Clock::now() < deadline) {
            int fd = ConnectLoopback(port);
            if (fd >= 0) {
                startUps.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                CloseFd(fd);
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        server.Process().Signal(SIGKILL);
        server.Wait(milliseconds(3000));
    }
    const Summary up = Summarise(startUps);
    const Summary launch = Summarise(launches);
    if (up.count == 0) {
        rows.push_back(
            {"7", "Start-up to listening", "never accepted", "", "", "", Verdict::Missed});
        return;
    }
    rows.push_back({"7", "Start-up to listening, median of " + std::to_string(up.count),
                    Fixed(up.median, 1) + " ms", Fixed(launch.median, 1) + " ms (/bin/true)",
                    Signed(up.median - launch.median, 1) + " ms", "<= 50 ms",
                    Check(up.median <= 50)});
    rows.push_back({"7", "Start-up to listening, slowest", Fixed(up.max, 1) + " ms",
                    Fixed(launch.max, 1) + " ms (/bin/true)", "", "", Verdict::Info});
}

}  // namespace brinmoor::bench
