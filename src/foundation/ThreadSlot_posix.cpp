#include <pthread.h>

#include <cstdlib>

#include "foundation/ThreadSlot.h"

namespace vek::sys {

RawThreadSlot::RawThreadSlot(void (*destroy)(void*)) : destroy_(destroy) {
    pthread_key_t key;
    // Without a slot nothing per-thread can be kept: there is no way on.
    if (pthread_key_create(&key, destroy) != 0) std::abort();
    key_ = key;
}

void* RawThreadSlot::get() const { return pthread_getspecific(static_cast<pthread_key_t>(key_)); }

void RawThreadSlot::set(void* value) const { pthread_setspecific(static_cast<pthread_key_t>(key_), value); }

}  // namespace vek::sys
