#include <pthread.h>

#include "platform/threads.h"

namespace brinmoor {

bool SetThreadStackSize(std::size_t bytes) {
    // std::thread creates its threads with the default attributes, so the
    // default is the one place where their stack size can be set.
    pthread_attr_t attributes;
    if (pthread_getattr_default_np(&attributes) != 0) return false;
    const bool set = pthread_attr_setstacksize(&attributes, bytes) == 0 &&
                     pthread_setattr_default_np(&attributes) == 0;
    pthread_attr_destroy(&attributes);
    return set;
}

}  // namespace brinmoor
