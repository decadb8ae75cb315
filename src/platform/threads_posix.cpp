#include <pthread.h>
#include <sched.h>

#include "platform/threads.h"

namespace brinmoor {
namespace {

void* Nothing(void*) {
    return nullptr;
}

}  // namespace

bool SetThreadStackSize(std::size_t bytes) {
    // std::thread creates its threads with the default attributes, so the
    // default is the one place where their stack size can be set.
    pthread_attr_t attributes;
    if (pthread_getattr_default_np(&attributes) != 0) return false;
    std::size_t previous = 0;
    bool set = pthread_attr_getstacksize(&attributes, &previous) == 0 &&
               pthread_attr_setstacksize(&attributes, bytes) == 0 &&
               pthread_setattr_default_np(&attributes) == 0;
    // The thread-local storage comes out of the same stack; a runtime that
    // keeps a lot there (ThreadSanitizer's) refuses a small one. Then the
    // system's default stays, rather than no thread at all.
    pthread_t probe;
    if (set && pthread_create(&probe, nullptr, Nothing, nullptr) == 0) {
        pthread_join(probe, nullptr);
    } else if (set) {
        pthread_attr_setstacksize(&attributes, previous);
        pthread_setattr_default_np(&attributes);
        set = false;
    }
    pthread_attr_destroy(&attributes);
    return set;
}

bool RaiseThreadPriority() {
#if defined(__linux__)
    // Above every ordinary thread, well below the kernel's own interrupt
    // threads (50) and the audio servers that ask for real time.
    sched_param parameter{};
    parameter.sched_priority = 10;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter) == 0;
#else
    return false;
#endif
}

}  // namespace brinmoor
