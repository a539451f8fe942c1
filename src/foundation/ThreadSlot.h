#pragma once
// Per-thread objects without C++ thread_local: a thread_local with a destructor
// is torn down by the runtime at thread exit under locks of its own, which in
// the mingw runtime (on Windows and under Wine) can deadlock with a thread that
// is joining the exiting one. Here each object hangs in a slot of the system's
// thread-local storage and is destroyed by the system's own thread-exit
// callback (a pthread key destructor; a fiber-local storage callback).

#include <memory>

namespace vek::sys {

// One system slot; `destroy` runs for a thread's non-null value when it exits.
class RawThreadSlot {
public:
    explicit RawThreadSlot(void (*destroy)(void*));
    RawThreadSlot(const RawThreadSlot&) = delete;
    RawThreadSlot& operator=(const RawThreadSlot&) = delete;
    void* get() const;
    void set(void* value) const;

private:
    unsigned long key_;
    [[maybe_unused]] void (*destroy_)(void*);  // Windows calls it itself; a pthread key holds it on POSIX
};

// The calling thread's T, made on its first use in that thread. Slots live for
// the whole process (define them as function-local statics).
template <typename T>
class ThreadSlot {
public:
    ThreadSlot() : slot_([](void* p) { delete static_cast<T*>(p); }) {}
    T& get() const {
        if (void* p = slot_.get()) return *static_cast<T*>(p);
        auto made = std::make_unique<T>();
        slot_.set(made.get());
        return *made.release();
    }

private:
    RawThreadSlot slot_;
};

}  // namespace vek::sys
