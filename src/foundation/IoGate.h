#pragma once
// Lets one thread release an OS handle while other threads may be blocked in
// I/O on it, without any of them ever reaching a recycled handle.
//
// Every read or write holds a Pass for the length of the call. close() calls
// beginClose() (later passes are refused), wakes or cancels the blocked calls in
// its platform's way, waits until no pass is out (waitIdle), releases the
// handle and calls endClose(). A second closer waits in beginClose() until the
// first has finished, so every close() returns with the handle released.
//
// A thread that holds a pass must not close the same gate.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vek::io {

class IoGate {
public:
    class Pass {
    public:
        explicit Pass(IoGate& gate) : gate_(gate.enter() ? &gate : nullptr) {}
        ~Pass() {
            if (gate_) gate_->leave();
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        // False when the gate is closing or closed: the call must not touch the handle.
        explicit operator bool() const { return gate_ != nullptr; }

    private:
        IoGate* gate_;
    };

    // True for the caller that begins closing. A later caller blocks until that
    // close has finished and gets false.
    bool beginClose();
    void endClose();
    bool closing() const;

    // Blocks until no pass is out.
    void waitIdle();
    // As waitIdle, with a limit; false when passes are still out after it.
    bool waitIdleFor(uint32_t milliseconds);

private:
    bool enter();
    void leave();

    enum class State { kOpen, kClosing, kClosed };

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    unsigned passes_ = 0;
    State state_ = State::kOpen;
};

}  // namespace vek::io
