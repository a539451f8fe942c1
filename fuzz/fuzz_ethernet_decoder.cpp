// Any word stream through the Ethernet Plim's reassembly and both decoders: only
// whole messages 27/28 of whole records, a pcap stream of whole records with the
// frame's length in both length fields; and the same output whether the stream
// comes in one read, in reads of any number of words, or in reads that end in
// 1 to 3 stray bytes (which are ignored).
//
// Input: bytes 0-1 the read size in words (1 to 5000), byte 2 bits 0-2 how many
// times the stream repeats (1 to 8) and bits 3-4 the stray bytes after each read;
// the rest is the stream.

#include <algorithm>
#include <cstring>
#include <vector>

#include "MessageCheck.h"
#include "fpga/EthernetPlimDecoder.h"

namespace {

uint64_t fixedClock() { return 133'000'000'000'000'000ull; }

// Checks a pcap stream as it is written: the global header, then records.
class PcapCheck final : public TransportBase {
public:
    void close() override {}
    size_t read(void*, size_t) override { return 0; }
    bool wait() override { return true; }
    size_t write(const void* data, size_t size) override {
        for (auto p = static_cast<const uint8_t*>(data); p != static_cast<const uint8_t*>(data) + size; ++p) {
            hash_ = (hash_ ^ *p) * 0x100000001B3ull;
            if (frameLeft_ > 0) {
                --frameLeft_;
                continue;
            }
            header_[have_++] = *p;
            if (!seenGlobal_ && have_ == EthernetPlimDecoder_pcap::kGlobalHeaderSize) {
                if (std::memcmp(header_, EthernetPlimDecoder_pcap::globalHeader(), have_) != 0) abort();
                seenGlobal_ = true;
                have_ = 0;
            } else if (seenGlobal_ && have_ == EthernetPlimDecoder_pcap::kRecordHeaderSize) {
                uint32_t caplen = EthernetPlimDecoderBase::word(header_ + 8);
                if (caplen == 0 || caplen > 0xFFFF || caplen != EthernetPlimDecoderBase::word(header_ + 12)) abort();
                frameLeft_ = caplen;
                have_ = 0;
            }
        }
        return size;
    }
    void finish() const {
        if (!seenGlobal_ || have_ != 0 || frameLeft_ != 0) abort();
    }
    uint64_t hash() const { return hash_; }

private:
    uint8_t header_[24] = {};
    size_t have_ = 0, frameLeft_ = 0;
    bool seenGlobal_ = false;
    uint64_t hash_ = 0xCBF29CE484222325ull;
};

struct Result {
    uint64_t messages, pcap, dropped;
    bool operator==(const Result&) const = default;
};

// One pass: the stream in reads of `words` words (0: one read), each followed by
// `stray` bytes that are not part of it.
Result pass(const std::vector<uint8_t>& stream, size_t words, size_t stray) {
    uint64_t hash = 0xCBF29CE484222325ull;
    MessageCheck messages([&hash](uint8_t code, size_t n) {
        hash = (hash ^ (code | n << 8)) * 0x100000001B3ull;
        return (code == 27 || code == 28) && n >= 8 && n % 4 == 0;
    });
    PcapCheck pcap;
    EthernetPlimDecoder_std messageDecoder;
    EthernetPlimDecoder_pcap pcapDecoder(&fixedClock);
    pcapDecoder.beginOutput(pcap);
    size_t size = words ? 4 * words : stream.size();
    static std::vector<uint8_t> read;  // kept from run to run: no allocation once grown
    for (size_t at = 0; at < stream.size(); at += size) {
        size_t n = std::min(size, stream.size() - at);
        read.assign(stream.begin() + at, stream.begin() + at + n);
        read.resize(n + stray, 0xA5);
        messageDecoder.decode(read.data(), read.size(), messages);
        pcapDecoder.decode(read.data(), read.size(), pcap);
    }
    messages.finish();
    pcap.finish();
    return {hash, pcap.hash(), messageDecoder.takeDroppedFrames()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    size_t words = 1 + (data[0] | data[1] << 8) % 5000;
    int repeat = 1 + (data[2] & 7);
    size_t stray = data[2] >> 3 & 3;
    data += 3;
    size -= 3;
    static std::vector<uint8_t> stream;
    stream.clear();
    for (int r = 0; r < repeat; ++r) stream.insert(stream.end(), data, data + size);
    stream.resize(stream.size() & ~size_t{3});  // a word stream
    Result whole = pass(stream, 0, 0);
    if (!(pass(stream, words, 0) == whole) || !(pass(stream, words, stray) == whole)) abort();
    return 0;
}
