// The Ethernet Plim's reassembly and both decoders on capture streams, one
// 8192-byte read at a time, into a transport that discards the output; memcpy of
// the same reads in the same run is the yardstick ("vs_memcpy"), and 20 x the USB
// 2.0 bulk ceiling (53.2 MB/s) the goal. Then the pcap output into a file against
// libpcap's pcap_dump writing the same frames to a file.
//
// Streams (the argument): 0 an Internet mix (7 x 64, 4 x 576, 1 x 1518 bytes, an
// idle word after each), 1 only 64-byte frames, 2 only 9000-byte frames.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "DecoderBench.h"
#include "fpga/EthernetPlimDecoder.h"
#include "transport/FileTransport.h"

namespace {

constexpr size_t kReadSize = 8192;

// The reassembly alone.
class CountingDecoder final : public EthernetPlimDecoderBase {
public:
    uint64_t frames = 0;

protected:
    void processFrame(TransportBase&, const uint8_t*, size_t) override { ++frames; }
};

std::vector<uint32_t> frameSizes(int64_t kind) {
    if (kind == 1) return {64};
    if (kind == 2) return {9000};
    return {64, 576, 64, 1518, 64, 576, 64, 576, 64, 64, 576, 64};
}

// The device's word stream, cut at kStreamSize (a whole number of reads).
std::vector<uint8_t> stream(int64_t kind, std::vector<std::vector<uint8_t>>* frames = nullptr) {
    std::vector<uint8_t> s;
    std::vector<uint32_t> sizes = frameSizes(kind);
    for (size_t i = 0; s.size() < kStreamSize + 65536; ++i) {
        uint32_t length = sizes[i % sizes.size()];
        size_t at = s.size();
        s.resize(at + EthernetPlimDecoderBase::recordSize(length) + (kind == 0 ? 4 : 0), 0);
        std::memcpy(&s[at], &length, 4);
        for (uint32_t k = 0; k < length; ++k) s[at + 4 + k] = uint8_t(i + k);
        if (frames && at + 4 + length <= kStreamSize) frames->emplace_back(&s[at + 4], &s[at + 4 + length]);
    }
    s.resize(kStreamSize);
    return s;
}

void decodeAll(EthernetPlimDecoderBase& d, const std::vector<uint8_t>& s, TransportBase& out) {
    for (size_t at = 0; at < s.size(); at += kReadSize) d.decode(s.data() + at, kReadSize, out);
}

template <typename Decoder>
void BM_Decoder(benchmark::State& state) {
    std::vector<uint8_t> s = stream(state.range(0));
    Decoder decoder;
    DiscardTransport out;
    double seconds = timeDecoding(state, s, kReadSize, [&] { decodeAll(decoder, s, out); });
    state.counters["x_usb2"] = static_cast<double>(s.size() * state.iterations()) / seconds / 53.2e6;
}

std::string scratchFile() { return std::string(P_tmpdir) + "/qw-bench-ethernet.pcap"; }

void BM_PcapFile_quenwick(benchmark::State& state) {
    std::vector<uint8_t> s = stream(state.range(0));
    EthernetPlimDecoder_pcap decoder;
    for (auto _ : state) {
        FileTransport file;
        file.openSplitOutput(scratchFile(), kNoSplit, kNoSplit);
        decoder.beginOutput(file);
        decodeAll(decoder, s, file);
    }
    std::remove(scratchFile().c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}

// The same frames, each stamped with the time when it is written, as ours are.
void BM_PcapFile_libpcap(benchmark::State& state) {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> s = stream(state.range(0), &frames);
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 0xFFFF);
    for (auto _ : state) {
        pcap_dumper_t* dumper = pcap_dump_open(dead, scratchFile().c_str());
        for (const auto& f : frames) {
            timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            pcap_pkthdr h{{now.tv_sec, now.tv_nsec / 1000}, uint32_t(f.size()), uint32_t(f.size())};
            pcap_dump(reinterpret_cast<u_char*>(dumper), &h, f.data());
        }
        pcap_dump_close(dumper);
    }
    pcap_close(dead);
    std::remove(scratchFile().c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}

}  // namespace

BENCHMARK(BM_Decoder<CountingDecoder>)->Name("BM_Reassembly")->DenseRange(0, 2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decoder<EthernetPlimDecoder_std>)->Name("BM_Decoder_std")->DenseRange(0, 2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decoder<EthernetPlimDecoder_pcap>)->Name("BM_Decoder_pcap")->DenseRange(0, 2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcapFile_quenwick)->DenseRange(0, 2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcapFile_libpcap)->DenseRange(0, 2)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
