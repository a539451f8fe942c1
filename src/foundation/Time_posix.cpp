#include <time.h>

#include "foundation/Time.h"

namespace vek::sys {

uint64_t systemTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochTicks + static_cast<uint64_t>(ts.tv_sec) * kTicksPerSecond +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
}

}  // namespace vek::sys
