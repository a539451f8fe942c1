#include "foundation/Event.h"

#include <chrono>

namespace vek::sys {

void Event::set() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        signalled_ = true;
    }
    cv_.notify_one();
}

void Event::wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    cv_.wait(hold, [this] { return signalled_; });
    signalled_ = false;
}

bool Event::waitFor(uint32_t milliseconds) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!cv_.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
}

}  // namespace vek::sys
