#include "platform/threads.h"

namespace brinmoor {

bool SetThreadStackSize(std::size_t) {
    // Threads reserve the executable's stack size; pages are committed only
    // as the thread uses them, so the default already costs little.
    return false;
}

}  // namespace brinmoor
