#pragma once
// Starting threads without exceptions: a thread that cannot be created is the
// Windows error 1450 (no system resources) on every platform, the record the
// host sees whichever controller failed.

#include <atomic>
#include <system_error>
#include <thread>
#include <utility>

#include "foundation/Error.h"

namespace vek::sys {

namespace detail {
// Tests make the next N thread starts fail, to reach those paths.
extern std::atomic<int> failingThreadStarts;
bool takeInjectedThreadFailure();
}  // namespace detail

// Starts `thread` running f(args...). False with Windows error 1450 set when
// the system refuses; `thread` is left empty then.
template <typename F, typename... Args>
bool startThread(std::thread& thread, F&& f, Args&&... args) {
    if (detail::takeInjectedThreadFailure()) return err::setWinError(err::kWinNoSystemResources), false;
    try {
        thread = std::thread(std::forward<F>(f), std::forward<Args>(args)...);
    } catch (const std::system_error&) {
        err::setWinError(err::kWinNoSystemResources);
        return false;
    }
    return true;
}

// For tests: the next `count` calls of startThread fail.
inline void failNextThreadStarts(int count) { detail::failingThreadStarts = count; }

}  // namespace vek::sys
