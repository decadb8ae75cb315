#include "procstats/proc_stats.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace brinmoor {

ProcFigures ReadProcFigures(pid_t pid) {
    ProcFigures figures;
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "VmRSS:") {
            figures.ok = static_cast<bool>(fields >> figures.rssKb);
        } else if (key == "VmHWM:") {
            fields >> figures.peakKb;
        } else if (key == "Threads:") {
            fields >> figures.threads;
        }
    }
    return figures;
}

double CpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(file, text)) return -1;
    // The command name may hold blanks and parentheses: count from the last ")".
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size()) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long ticks = 0;
    // Fields from 3 (the state) on; utime and stime are 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14 || index == 15) ticks += std::stoull(field);
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double CpuShareOver(pid_t pid, std::chrono::milliseconds window) {
    const auto start = std::chrono::steady_clock::now();
    const double before = CpuSeconds(pid);
    std::this_thread::sleep_for(window);
    const double after = CpuSeconds(pid);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (before < 0 || after < 0 || seconds <= 0) return -1;
    return (after - before) / seconds;
}

}  // namespace brinmoor
