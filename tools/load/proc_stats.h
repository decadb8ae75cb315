#pragma once
// A process's figures as Linux shows them in /proc.
#include <sys/types.h>

namespace brinmoor::load {

struct ProcStatus {
    bool ok = false;
    long rssKb = 0;   // VmRSS: resident now
    long peakKb = 0;  // VmHWM: the most it was resident
    int threads = 0;
};

ProcStatus ReadProcStatus(pid_t pid);
// User and system CPU time so far, in seconds; negative when unreadable.
double CpuSeconds(pid_t pid);

}  // namespace brinmoor::load
