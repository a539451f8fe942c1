#pragma once
// A replaceable clock for the command loop: its i-th reading is times[i], the
// last one from then on (0 when none is set). One per process; single-threaded use.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace scripted_clock {

inline std::vector<uint64_t> times;
inline size_t readings = 0;

inline void reset() {
    times.clear();
    readings = 0;
}

inline uint64_t now() {
    uint64_t t = times.empty() ? 0 : times[std::min(readings, times.size() - 1)];
    ++readings;
    return t;
}

}  // namespace scripted_clock
