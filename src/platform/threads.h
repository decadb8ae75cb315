#pragma once
// The thread seam: the stack each new thread of the process gets, and the
// priority of threads that must run as soon as they are woken.
#include <cstddef>

namespace brinmoor {

// Makes every thread started from now on (std::thread included) reserve this
// much stack instead of the system's default (8 MiB on Linux, taken from the
// stack limit). False when the system keeps its own default: on Windows,
// where the executable's reservation (2 MiB, committed only as it is used)
// stays, and where a thread cannot start with so small a stack.
bool SetThreadStackSize(std::size_t bytes);

// Asks the system to run the calling thread ahead of ordinary ones (Linux:
// SCHED_FIFO at a modest priority; Windows: time-critical). False when the
// system refuses (no privilege); the thread then goes on as it was.
bool RaiseThreadPriority();

}  // namespace brinmoor
