#include <cstdlib>

#include "foundation/ThreadSlot.h"
#include "foundation/Win32.h"

namespace vek::sys {

namespace {

// What a slot holds: the value and how to destroy it, as the system's callback
// takes no context of its own.
struct Held {
    void (*destroy)(void*);
    void* value;
};

void WINAPI release(void* p) {
    if (!p) return;
    auto* held = static_cast<Held*>(p);
    if (held->value) held->destroy(held->value);
    delete held;
}

}  // namespace

// Fiber-local storage: its callback runs when a thread exits, before the
// loader's thread-detach work.
RawThreadSlot::RawThreadSlot(void (*destroy)(void*)) : destroy_(destroy) {
    DWORD index = FlsAlloc(release);
    if (index == FLS_OUT_OF_INDEXES) std::abort();
    key_ = index;
}

void* RawThreadSlot::get() const {
    auto* held = static_cast<Held*>(FlsGetValue(static_cast<DWORD>(key_)));
    return held ? held->value : nullptr;
}

void RawThreadSlot::set(void* value) const {
    auto* held = static_cast<Held*>(FlsGetValue(static_cast<DWORD>(key_)));
    if (!held) {
        held = new Held{destroy_, nullptr};
        FlsSetValue(static_cast<DWORD>(key_), held);
    }
    held->value = value;
}

}  // namespace vek::sys
