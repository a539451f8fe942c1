#include "foundation/Thread.h"

namespace vek::sys::detail {

std::atomic<int> failingThreadStarts{0};

bool takeInjectedThreadFailure() {
    int left = failingThreadStarts.load();
    while (left > 0)
        if (failingThreadStarts.compare_exchange_weak(left, left - 1)) return true;
    return false;
}

}  // namespace vek::sys::detail
