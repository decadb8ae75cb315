// Figures 14 to 17: the radio's changes pushed to a listening group (how soon
// FA and IF arrive, and what it costs the radio), STATUS with ten groups, and
// brinmoorctl watch's own CPU time.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "station.h"
#include "support/posix/process.h"

namespace brinmoor::bench {
namespace {

const std::string kCtlBinary = BRINMOOR_BINARY_DIR "/tools/brinmoorctl/brinmoorctl";

std::string TcpGroup(int number, std::uint16_t port, const std::string& more = "") {
    return "\"" + std::to_string(number) + "\": {\"cat\": {\"port\": \"tcp:" +
           std::to_string(port) + "\"" + more + "}}";
}

// IF commands the radio simulator logged within the window, per second.
double IfPerSecond(Station& station, milliseconds window) {
    station.radio.LogLines(milliseconds(100));  // what came before
    const auto lines = station.radio.LogLines(window);
    const auto count = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("rx IF;") != std::string::npos;
    });
    return static_cast<double>(count) * 1000.0 / static_cast<double>(window.count());
}

void ReportLatency(const Settings& settings, std::vector<Row>& rows) {
    std::fprintf(stderr, "figures 14, 15: reports to a listening group...\n");
    Station station;
    station.radioOptions = {"--log"};
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < 5; ++i) ports.push_back(test::FreeLoopbackPort());
    std::string document = "{\"ports\": {" + station.CatEntry() + "}, \"ext_groups\": {" +
                           TcpGroup(1, ports[0]) + ", " +
                           TcpGroup(2, ports[1], ", \"reports\": true");
    for (int i = 2; i < 5; ++i) document += ", " + TcpGroup(i + 1, ports[i]);
    document += "}}";
    int program = -1;
    int listener = -1;
    if (station.StartWithRadio() &&
        station.Configure(document, "[relay] CAT relay started for group 5") &&
        station.control->Ask("AG1;") == "AG_OK;") {
        program = ConnectLoopback(ports[0]);
        listener = ConnectLoopback(ports[1]);
    }
    if (program < 0 || listener < 0) {
        rows.push_back({"14", "FA/IF report to a listener", "not run", "", "", "", Verdict::Missed});
        std::fprintf(stderr, "figure 14: %s\n", station.failure.c_str());
        CloseFd(program);
        CloseFd(listener);
        return;
    }
    // Changes at irregular moments, so they fall on every phase of the IF reads.
    std::mt19937 random(12);
    std::vector<double> fa;
    std::vector<double> inform;
    int lost = 0;
    std::string buffer;
    const int changes = settings.quick ? 20 : 100;
    for (int i = 0; i < changes; ++i) {
        char frequency[16];
        std::snprintf(frequency, sizeof frequency, "%011d", 14000000 + 1000 * (i + 1));
        std::string reply;
        while (ReadReply(listener, buffer, reply, milliseconds(0))) {
        }
        buffer.clear();
        const auto start = Clock::now();
        WriteAll(program, "FA" + std::string(frequency) + ";");
        std::optional<double> seenFa;
        std::optional<double> seenIf;
        while ((!seenFa || !seenIf) && ReadReply(listener, buffer, reply, milliseconds(2000))) {
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            if (reply == "FA" + std::string(frequency) + ";") seenFa = ms;
            if (reply.rfind("IF" + std::string(frequency), 0) == 0) seenIf = ms;
        }
        if (seenFa && seenIf) {
            fa.push_back(*seenFa);
            inform.push_back(*seenIf);
        } else {
            ++lost;
        }
        std::this_thread::sleep_for(milliseconds(50 + random() % 250));
    }
    const std::string missing = lost > 0 ? " (" + std::to_string(lost) + " lost)" : "";
    for (const auto& [name, samples] : {std::pair{"FA", &fa}, std::pair{"IF", &inform}}) {
        const Summary summary = Summarise(*samples);
        rows.push_back({"14", std::string(name) + " report after a change, median / p99",
                        Fixed(summary.median, 0) + " / " + Fixed(summary.p99, 0) + " ms" + missing,
                        "IF read every 200 ms", "", "<= 300 ms",
                        Check(lost == 0 && summary.p99 <= 300)});
    }

    // The radio's load: the listener alone, then three programs polling IF
    // five times a second as well.
    const milliseconds window = settings.quick ? milliseconds(2000) : milliseconds(5000);
    const double alone = IfPerSecond(station, window);
    rows.push_back({"15", "IF a second at the radio, one listener, no poller",
                    Fixed(alone, 1), "", "", "5", Check(alone <= 5.5)});
    std::atomic<bool> polling{true};
    std::vector<std::thread> pollers;
    for (int i = 2; i < 5; ++i) {
        pollers.emplace_back([&, port = ports[i]] {
            int fd = ConnectLoopback(port);
            std::string pending;
            while (polling.load() && fd >= 0) {
                TimedExchange(fd, pending, "IF;", "IF");
                std::this_thread::sleep_for(milliseconds(200));
            }
            CloseFd(fd);
        });
    }
    std::this_thread::sleep_for(milliseconds(1000));
    const double withPollers = IfPerSecond(station, window);
    polling.store(false);
    for (std::thread& poller : pollers) poller.join();
    rows.push_back({"15", "IF a second at the radio, + 3 programs polling IF at 5/s",
                    Fixed(withPollers, 1), "15 if nothing were shared", "", "5",
                    Check(withPollers <= 5.5)});
    CloseFd(program);
    CloseFd(listener);
}

void StatusLatency(const Settings& settings, std::vector<Row>& rows) {
    std::fprintf(stderr, "figure 16: STATUS with ten groups...\n");
    Station station;
    std::string document = "{\"ports\": {" + station.CatEntry() + "}, \"ext_groups\": {";
    for (int i = 1; i <= 10; ++i) {
        document += (i > 1 ? ", " : "") + TcpGroup(i, test::FreeLoopbackPort());
    }
    document += "}}";
    int control = -1;
    if (station.StartWithRadio() &&
        station.Configure(document, "[relay] CAT relay started for group 10")) {
        control = ConnectLoopback(station.server.Port());
    }
    if (control < 0) {
        rows.push_back({"16", "STATUS with 10 groups", "not run", "", "", "", Verdict::Missed});
        return;
    }
    std::vector<double> samples;
    std::string buffer;
    for (int i = 0; i < settings.latencySamples; ++i) {
        if (const auto us = TimedExchange(control, buffer, "STATUS;", "STATUS{")) {
            samples.push_back(*us);
        }
    }
    const Summary summary = Summarise(samples);
    rows.push_back({"16", "STATUS with 10 groups, median / p99",
                    Fixed(summary.median, 0) + " / " + Fixed(summary.p99, 0) + " us", "", "",
                    "<= 1000 us median", Check(summary.count > 0 && summary.median <= 1000)});
    CloseFd(control);

    std::fprintf(stderr, "figure 17: brinmoorctl watch...\n");
    test::ChildProcess watch;
    const milliseconds window = settings.quick ? milliseconds(3000) : milliseconds(10000);
    if (!watch.Start({kCtlBinary, "--port", std::to_string(station.server.Port()), "watch"})) {
        rows.push_back({"17", "brinmoorctl watch CPU", "not run", "", "", "", Verdict::Missed});
        return;
    }
    std::this_thread::sleep_for(milliseconds(500));
    const auto before = ThreadRunSeconds(watch.Pid());
    int views = 0;
    const auto end = Clock::now() + window;
    while (Clock::now() < end) {
        if (const auto line = watch.ReadLine(milliseconds(100)); line && line->starts_with("brinmoor on")) {
            ++views;
        }
    }
    const auto after = ThreadRunSeconds(watch.Pid());
    watch.Stop();
    const double share = before && after ? (*after - *before) * 100.0 /
                                               std::chrono::duration<double>(window).count()
                                         : -1;
    const double rate = views * 1000.0 / static_cast<double>(window.count());
    rows.push_back({"17", "brinmoorctl watch, CPU of one core (views/s)",
                    Fixed(share, 2) + " % (" + Fixed(rate, 1) + "/s)", "", "", "< 1 %, >= 4/s",
                    Check(share >= 0 && share < 1.0 && rate >= 4)});
}

}  // namespace

void MeasureStatus(const Settings& settings, std::vector<Row>& rows, bool reports, bool status) {
    if (reports) ReportLatency(settings, rows);
    if (status) StatusLatency(settings, rows);
}

}  // namespace brinmoor::bench
