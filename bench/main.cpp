// brinmoor_bench: runs the real server and the radio simulator on
// pseudo-terminals, measures latency, throughput, keying delay, idle cost,
// memory, start-up and how programs polling at once share the radio, and
// prints one table (progress goes to stderr).
//   brinmoor_bench [--quick] [--only 1,3,7]
#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "bench.h"

namespace brinmoor::bench {
namespace {

std::set<int> ParseList(const std::string& text) {
    std::set<int> figures;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (!item.empty()) figures.insert(std::atoi(item.c_str()));
    }
    return figures;
}

// "AMD EPYC, 2 CPUs, Linux 6.1.0": where the figures came from.
std::string MachineText() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    std::string model = "unknown CPU";
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname system{};
    ::uname(&system);
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " CPUs, " +
           system.sysname + " " + system.release;
}

// The first three figures of /proc/loadavg: how busy the machine was.
std::string LoadText() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Met:
            return "met";
        case Verdict::Missed:
            return "MISSED";
        case Verdict::Info:
            return "";
    }
    return "";
}

void PrintTable(const std::vector<Row>& rows) {
    const std::vector<std::string> heads{"#",        "Figure", "Measured", "Baseline",
                                         "Compared", "Target", "Result"};
    auto cells = [](const Row& row) {
        return std::vector<std::string>{row.figure,
                                        row.what,
                                        row.measured,
                                        row.baseline,
                                        row.compared,
                                        row.target,
                                        VerdictText(row.verdict)};
    };
    std::vector<std::size_t> widths;
    for (const std::string& head : heads) widths.push_back(head.size());
    for (const Row& row : rows) {
        const auto line = cells(row);
        for (std::size_t i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths[i], line[i].size());
    }
    // A Markdown table, so that the same text goes into docs/performance.md.
    auto print = [&](const std::vector<std::string>& line) {
        std::string text = "|";
        for (std::size_t i = 0; i < line.size(); ++i) {
            text += " " + line[i] + std::string(widths[i] - line[i].size(), ' ') + " |";
        }
        std::puts(text.c_str());
    };
    print(heads);
    std::vector<std::string> rule;
    for (std::size_t width : widths) rule.push_back(std::string(width, '-'));
    print(rule);
    for (const Row& row : rows) print(cells(row));
}

}  // namespace
}  // namespace brinmoor::bench

int main(int argc, char** argv) {
    using namespace brinmoor::bench;
    Settings settings;
    std::set<int> only;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--quick") {
            settings.quick = true;
            settings.latencySamples = 500;
            settings.throughputWindow = milliseconds(1000);
            settings.idleWindow = milliseconds(2000);
            settings.keyingEdges = 100;
            settings.startups = 5;
            settings.sharingWindow = milliseconds(500);
        } else if (argument == "--only" && i + 1 < argc) {
            only = ParseList(argv[++i]);
        } else {
            std::fprintf(stderr, "Usage: %s [--quick] [--only 1,2,...]\n", argv[0]);
            return argument == "--help" ? 0 : 2;
        }
    }
    auto wanted = [&](std::initializer_list<int> figures) {
        if (only.empty()) return true;
        return std::any_of(figures.begin(), figures.end(), [&](int f) { return only.count(f); });
    };

    const auto start = Clock::now();
    const std::string loadBefore = LoadText();
    std::vector<Row> rows;
    if (wanted({7})) MeasureStartUp(settings, rows);
    if (wanted({1, 2, 3})) MeasureLatency(settings, rows);
    if (wanted({4})) MeasureKeying(settings, rows);
    if (wanted({6})) MeasureMemory(settings, rows);
    if (wanted({5})) MeasureIdleCost(settings, rows);
    if (wanted({8, 9, 10})) MeasureSharing(settings, rows, wanted({8}), wanted({9}), wanted({10}));
    if (wanted({11})) MeasureEndpointLatency(settings, rows);
    if (wanted({12})) MeasureCwTiming(settings, rows);
    if (wanted({13})) MeasureKeyingIdle(settings, rows);
    if (wanted({14, 15, 16, 17})) {
        MeasureStatus(settings, rows, wanted({14, 15}), wanted({16, 17}));
    }

    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return std::atoi(a.figure.c_str()) < std::atoi(b.figure.c_str());
    });
    const std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M %Z", std::localtime(&now));
    std::printf("brinmoor benchmark, %s%s, %.0f s\n", date, settings.quick ? " (quick)" : "",
                std::chrono::duration<double>(Clock::now() - start).count());
    std::printf("Machine: %s; load average %s before, %s after\n\n", MachineText().c_str(),
                loadBefore.c_str(), LoadText().c_str());
    PrintTable(rows);
    const bool missed = std::any_of(rows.begin(), rows.end(),
                                    [](const Row& row) { return row.verdict == Verdict::Missed; });
    return missed ? 1 : 0;
}
