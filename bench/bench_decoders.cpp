// The I2C and SPI decoders on typical capture streams, one 8192-byte read at a
// time, into a transport that discards the messages. The yardstick is memcpy of
// the same reads in the same run; "vs_memcpy" is the decoder's share of its speed,
// "allocs_per_read" counts operator new calls while decoding.
#include <benchmark/benchmark.h>

#include "AllocationCount.h"
#include "DecoderBench.h"

#include <vector>

#include "fpga/I2cDecoder.h"
#include "fpga/SpiDecoder.h"

namespace {

constexpr size_t kReadSize = 8192;

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
    timeDecoding(state, stream, kReadSize, decodeAll);
    state.counters["allocs_per_read"] = allocs / static_cast<double>(stream.size() / kReadSize);
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> stream = i2cStream();
    for (auto _ : state) copyReads(stream, kReadSize);
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
