#pragma once
// A replaceable clock for the command loop (its test and its fuzz target): the
// i-th reading is times[i], the last one from then on, 0 when none is set.
#include <algorithm>
#include <cstdint>
#include <vector>

namespace scripted_clock {
inline std::vector<uint64_t> times;
inline size_t readings = 0;
inline void reset() { times.clear(), readings = 0; }
inline uint64_t now() { return times.empty() ? 0 : times[std::min(readings++, times.size() - 1)]; }
}  // namespace scripted_clock
