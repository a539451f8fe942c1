#pragma once
// System time in Windows FILETIME units: 100 ns since 1601-01-01 UTC.

#include <cstdint>

namespace vek::sys {

constexpr uint64_t kTicksPerSecond = 10'000'000;
// FILETIME of the Unix epoch.
constexpr uint64_t kUnixEpochTicks = 116'444'736'000'000'000ull;

// The most precise system time the platform offers.
uint64_t systemTime();

// A clock that can be replaced in tests.
using Clock = uint64_t (*)();

}  // namespace vek::sys
