#include "proc_stats.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace brinmoor::load {

ProcStatus ReadProcStatus(pid_t pid) {
    ProcStatus status;
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "VmRSS:") {
            fields >> status.rssKb;
            status.ok = true;
        } else if (key == "VmHWM:") {
            fields >> status.peakKb;
        } else if (key == "Threads:") {
            fields >> status.threads;
        }
    }
    return status;
}

double CpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(file, text)) return -1;
    // The command name may hold blanks and parentheses: count from the last ")".
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) utime = std::stoull(field);
        if (index == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace brinmoor::load
