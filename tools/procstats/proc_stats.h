#pragma once
// A process's memory, threads and CPU time as Linux shows them in /proc: for
// the load tool, the fault tests and the benchmark, which check that the
// server never spins a core or grows without bound.
#include <sys/types.h>

#include <chrono>

namespace brinmoor {

struct ProcFigures {
    bool ok = false;
    long rssKb = 0;   // VmRSS: resident now
    long peakKb = 0;  // VmHWM: the most it was resident
    int threads = 0;
};

ProcFigures ReadProcFigures(pid_t pid);
// User and system CPU time so far, in seconds; negative when unreadable.
double CpuSeconds(pid_t pid);
// The share of one core the process used over the time (1.0: a whole core);
// negative when unreadable.
double CpuShareOver(pid_t pid, std::chrono::milliseconds window);

}  // namespace brinmoor
