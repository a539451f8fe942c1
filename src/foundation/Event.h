#pragma once
// An auto-reset event: set() releases one waiter, or the next wait when nobody
// waits. Stands in for the Windows auto-reset event on every platform.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vek::sys {

class Event {
public:
    void set();
    // Blocks until the event is set, then resets it.
    void wait();
    // As wait, with a limit; false when the limit passed with the event unset.
    bool waitFor(uint32_t milliseconds);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace vek::sys
