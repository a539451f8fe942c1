// The Serial Plim Pro's two decoders on typical capture streams, one 512-byte read
// (one packet) at a time, into a transport that discards the messages. The
// yardstick is memcpy of the same reads in the same run; "vs_memcpy" is the
// decoder's share of its speed, "allocs_per_read" counts operator new calls while
// decoding.
#include <benchmark/benchmark.h>

#include "AllocationCount.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "fpga/SerialPlimProDecoder.h"

namespace {

constexpr size_t kReadSize = serialpro::kPacketSize;
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

// Full packets of data records: runs of `run` bytes taking turns between the two
// directions, every eighth byte with a two-byte delta, a line-state change every
// fourth packet; each packet ends with filler where the next record would not fit.
std::vector<uint8_t> stream(unsigned run) {
    std::vector<uint8_t> s;
    s.reserve(kStreamSize);
    uint8_t packet[kReadSize];
    for (unsigned p = 0, i = 0; s.size() < kStreamSize; ++p) {
        size_t used = 0;
        if (p % 4 == 0) {
            const uint8_t line[] = {serialpro::kRecLineState, 3, uint8_t(p >> 2 & 3)};
            std::memcpy(packet, line, sizeof line);
            used = sizeof line;
        }
        for (; used + 5 <= kReadSize; ++i) {
            packet[used++] = i / run % 2 ? serialpro::kRecData1 : serialpro::kRecData0;
            if (i % 8 == 7) packet[used++] = 0x81;  // 129 us
            packet[used++] = 1;
            packet[used++] = uint8_t(i);
            packet[used++] = 0;
        }
        std::memset(packet + used, 0, kReadSize - used);
        s.insert(s.end(), packet, packet + kReadSize);
    }
    return s;
}

double copySeconds(const std::vector<uint8_t>& s) {
    uint8_t to[kReadSize];
    auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < s.size(); at += kReadSize) {
        std::memcpy(to, s.data() + at, kReadSize);
        benchmark::DoNotOptimize(to);
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename Decoder>
void run(benchmark::State& state, Decoder& decoder) {
    std::vector<uint8_t> s = stream(static_cast<unsigned>(state.range(0)));
    SerialProDecoder decoderState;
    DiscardTransport out;
    auto decodeAll = [&] {
        for (size_t at = 0; at < s.size(); at += kReadSize) decoder.decode(decoderState, s.data() + at, kReadSize, out);
    };
    uint64_t allocsBefore = allocations.load();
    decodeAll();
    double allocs = static_cast<double>(allocations.load() - allocsBefore);
    double copy = copySeconds(s);
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) decodeAll();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["vs_memcpy"] = copy * static_cast<double>(state.iterations()) / seconds;
    state.counters["allocs_per_read"] = allocs / static_cast<double>(s.size() / kReadSize);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> s = stream(16);
    uint8_t to[kReadSize];
    for (auto _ : state) {
        for (size_t at = 0; at < s.size(); at += kReadSize) {
            std::memcpy(to, s.data() + at, kReadSize);
            benchmark::DoNotOptimize(to);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}

void BM_SerialProDecoder(benchmark::State& state) {
    SerialProDecoder_std decoder;
    run(state, decoder);
}

void BM_SerialProRawDecoder(benchmark::State& state) {
    SerialProDecoder_raw decoder;
    run(state, decoder);
}

}  // namespace


// Argument: the bytes of a run before the direction changes.
BENCHMARK(BM_Memcpy)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SerialProDecoder)->Arg(16)->Arg(128)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SerialProRawDecoder)->Arg(16)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
