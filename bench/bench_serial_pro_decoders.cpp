// The Serial Plim Pro's two decoders on typical capture streams, one 512-byte read
// (one packet) at a time, into a transport that discards the messages. The
// yardstick is memcpy of the same reads in the same run; "vs_memcpy" is the
// decoder's share of its speed, "allocs_per_read" counts operator new calls while
// decoding.
#include <benchmark/benchmark.h>

#include "AllocationCount.h"
#include "DecoderBench.h"

#include <cstring>
#include <vector>

#include "fpga/SerialPlimProDecoder.h"

namespace {

constexpr size_t kReadSize = serialpro::kPacketSize;

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
    timeDecoding(state, s, kReadSize, decodeAll);
    state.counters["allocs_per_read"] = allocs / static_cast<double>(s.size() / kReadSize);
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> s = stream(16);
    for (auto _ : state) copyReads(s, kReadSize);
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
