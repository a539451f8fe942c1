#include "foundation/IoGate.h"

#include <chrono>

namespace vek::io {

bool IoGate::enter() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (state_ != State::kOpen) return false;
    ++passes_;
    return true;
}

void IoGate::leave() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (--passes_ == 0) changed_.notify_all();
}

bool IoGate::beginClose() {
    std::unique_lock<std::mutex> hold(mutex_);
    if (state_ == State::kOpen) {
        state_ = State::kClosing;
        return true;
    }
    changed_.wait(hold, [this] { return state_ == State::kClosed; });
    return false;
}

void IoGate::endClose() {
    std::lock_guard<std::mutex> hold(mutex_);
    state_ = State::kClosed;
    changed_.notify_all();
}

bool IoGate::closing() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return state_ != State::kOpen;
}

void IoGate::waitIdle() {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [this] { return passes_ == 0; });
}

bool IoGate::waitIdleFor(uint32_t milliseconds) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return passes_ == 0; });
}

}  // namespace vek::io
