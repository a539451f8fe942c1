#pragma once
// What the decoder benchmarks share: a transport that discards what it is given,
// memcpy of the same reads as the yardstick, and the timing of decoding passes.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "transport/TransportBase.h"

constexpr size_t kStreamSize = size_t{16} << 20;

class DiscardTransport final : public TransportBase {
public:
    void close() override {}
    size_t read(void*, size_t) override { return 0; }
    size_t write(const void*, size_t size) override { return size; }
    // Discarded parts need no joining.
    size_t writeParts(const ConstBytes* parts, size_t count) override {
        size_t total = 0;
        for (size_t i = 0; i < count; ++i) total += parts[i].size;
        return total;
    }
    bool wait() override { return true; }
};

// The stream copied one read at a time, as a device's reads arrive.
inline void copyReads(const std::vector<uint8_t>& stream, size_t readSize) {
    std::vector<uint8_t> to(readSize);
    for (size_t at = 0; at < stream.size(); at += readSize) {
        std::memcpy(to.data(), stream.data() + at, readSize);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
}

// Times `decodeAll` (one pass over `stream`) for the benchmark's iterations and
// reports bytes per second and "vs_memcpy", the decoder's share of copyReads'
// speed measured in the same run. The seconds the passes took.
template <typename DecodeAll>
double timeDecoding(benchmark::State& state, const std::vector<uint8_t>& stream, size_t readSize,
                    DecodeAll decodeAll) {
    auto copyStart = std::chrono::steady_clock::now();
    copyReads(stream, readSize);
    double copy = std::chrono::duration<double>(std::chrono::steady_clock::now() - copyStart).count();
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) decodeAll();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["vs_memcpy"] = copy * static_cast<double>(state.iterations()) / seconds;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    return seconds;
}
