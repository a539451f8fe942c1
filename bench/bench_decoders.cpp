// The I2C and SPI decoders on typical capture streams, one 8192-byte read at a
// time, into a transport that discards the messages. The yardstick is memcpy of
// the same reads in the same run; "vs_memcpy" is the decoder's share of its speed,
// "allocs_per_read" counts operator new calls while decoding.
#include <benchmark/benchmark.h>

#include "AllocationCount.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "fpga/I2cDecoder.h"
#include "fpga/SpiDecoder.h"

namespace {

constexpr size_t kReadSize = 8192;
constexpr size_t kStreamSize = size_t{16} << 20;

class DiscardTransport final : public TransportBase {
public:
    void close() override {}
    size_t read(void*, size_t) override { return 0; }
    size_t write(const void*, size_t size) override { return size; }
    bool wait() override { return true; }
};

// I2C: transactions of START, a 7-bit address and 256 data bytes, then STOP.
std::vector<uint8_t> i2cStream() {
    std::vector<uint8_t> s;
    for (unsigned t = 0; s.size() < kStreamSize; ++t) {
        s.insert(s.end(), {0x00, 0x2A, 0x40});
        for (unsigned i = 0; i < 256; ++i) s.insert(s.end(), {uint8_t(0x20 | (i >> 4 & 15)), uint8_t(0x40 | (i & 15))});
        s.push_back(0x70);
    }
    s.resize(kStreamSize);
    return s;
}

// SPI: frames of 64 words of `bits` bits, each frame ended by a frame event.
std::vector<uint8_t> spiStream(unsigned bits) {
    std::vector<uint8_t> s;
    uint8_t cycle[] = {0x10, 0x30, 0x20, 0x40};
    for (unsigned w = 0; s.size() < kStreamSize; ++w) {
        for (unsigned n = 0; n < bits / 2; ++n) s.push_back(uint8_t(cycle[n % 4] | ((w + n) & 15)));
        if (w % 64 == 63) s.push_back(0x00);
    }
    s.resize(kStreamSize);
    return s;
}

// Seconds memcpy takes for the stream, in reads.
double copySeconds(const std::vector<uint8_t>& stream) {
    std::vector<uint8_t> to(kReadSize);
    auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < stream.size(); at += kReadSize) {
        std::memcpy(to.data(), stream.data() + at, kReadSize);
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename Decoder>
void run(benchmark::State& state, Decoder& decoder, const std::vector<uint8_t>& stream) {
    DiscardTransport out;
    auto decodeAll = [&] {
        for (size_t at = 0; at < stream.size(); at += kReadSize) decoder.decode(stream.data() + at, kReadSize, out);
    };
    // One pass outside the timing, with nothing else running, counts allocations.
    uint64_t allocsBefore = allocations.load();
    decodeAll();
    double allocs = static_cast<double>(allocations.load() - allocsBefore);
    double copy = copySeconds(stream);
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) decodeAll();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["vs_memcpy"] = copy * static_cast<double>(state.iterations()) / seconds;
    state.counters["allocs_per_read"] = allocs / static_cast<double>(stream.size() / kReadSize);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> stream = i2cStream(), to(kReadSize);
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += kReadSize) {
            std::memcpy(to.data(), stream.data() + at, kReadSize);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_I2cDecoder(benchmark::State& state) {
    std::vector<uint8_t> stream = i2cStream();
    I2cDecoder decoder;
    run(state, decoder, stream);
}

void BM_SpiDecoder(benchmark::State& state) {
    auto bits = static_cast<uint8_t>(state.range(0));
    std::vector<uint8_t> stream = spiStream(bits);
    SpiDecoder decoder;
    decoder.reset(SpiConfig{0, bits, 0});
    run(state, decoder, stream);
}

}  // namespace


BENCHMARK(BM_Memcpy)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_I2cDecoder)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpiDecoder)->Arg(8)->Arg(16)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
