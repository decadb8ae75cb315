#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/threads.h"

namespace brinmoor {

bool SetThreadStackSize(std::size_t) {
    // Threads reserve the executable's stack size; pages are committed only
    // as the thread uses them, so the default already costs little.
    return false;
}

bool RaiseThreadPriority() {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

}  // namespace brinmoor
