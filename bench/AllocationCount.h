#pragma once
// Counts every allocation of a benchmark program while it runs, so a benchmark
// can show that its steady state allocates nothing. Include in one file of the
// program only: it replaces the global operator new.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

inline std::atomic<uint64_t> allocations{0};

// GCC takes the malloc behind a replaced operator new for a mismatch with the
// free behind delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
