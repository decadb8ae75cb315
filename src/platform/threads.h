#pragma once
// The thread seam: the stack each new thread of the process gets.
#include <cstddef>

namespace brinmoor {

// Makes every thread started from now on (std::thread included) reserve this
// much stack instead of the system's default (8 MiB on Linux, taken from the
// stack limit). False when the system keeps its own default: on Windows,
// where the executable's reservation (2 MiB, committed only as it is used)
// stays, and where a thread cannot start with so small a stack.
bool SetThreadStackSize(std::size_t bytes);

}  // namespace brinmoor
