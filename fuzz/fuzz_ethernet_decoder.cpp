// Any word stream through the Ethernet Plim's reassembly and both decoders: only
// whole messages 27/28 of whole records, a pcap stream of whole records with the
// frame's length in both length fields; and the same output whether the stream
// comes in one read, in reads of any number of words, or in reads that end in
// 1 to 3 stray bytes (which are ignored).
//
// Input: bytes 0-1 the read size in words (1 to 5000, or more to keep a pass at
// 512 reads), byte 2 bits 0-2 how many
// times the stream repeats (1 to 8) and bits 3-4 the stray bytes after each read;
// the rest is the stream.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fpga/EthernetPlimDecoder.h"

namespace {

// Reads per pass at most, so a long stream in reads of a few words stays quick.
constexpr size_t kMaxReads = 512;

uint64_t fixedClock() { return 133'000'000'000'000'000ull; }

// Keeps what is written; its storage lives from run to run.
class Recorder final : public TransportBase {
public:
    explicit Recorder(std::vector<uint8_t>& bytes) : bytes_(bytes) { bytes_.clear(); }
    void close() override {}
    size_t read(void*, size_t) override { return 0; }
    bool wait() override { return true; }
    size_t write(const void* data, size_t size) override {
        bytes_.insert(bytes_.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
        return size;
    }

private:
    std::vector<uint8_t>& bytes_;
};

uint32_t u32(const std::vector<uint8_t>& b, size_t at) { return EthernetPlimDecoderBase::word(&b[at]); }

void checkMessages(const std::vector<uint8_t>& b) {
    for (size_t at = 0; at < b.size();) {
        if (b.size() - at < 4) abort();
        size_t n = b[at + 2] | b[at + 3] << 8;
        if (b[at] != 2 || (b[at + 1] != 27 && b[at + 1] != 28) || n < 8 || n % 4 != 0 || b.size() - at - 4 < n) abort();
        // The code follows the header word's bit 27, whose length fills the record.
        uint32_t header = u32(b, at + 4);
        if ((b[at + 1] == 28) != ((header >> 27) & 1) || EthernetPlimDecoderBase::recordSize(header) != n) abort();
        at += 4 + n;
    }
}

void checkPcap(const std::vector<uint8_t>& b) {
    const size_t global = EthernetPlimDecoder_pcap::kGlobalHeaderSize, record = EthernetPlimDecoder_pcap::kRecordHeaderSize;
    if (b.size() < global || std::memcmp(b.data(), EthernetPlimDecoder_pcap::globalHeader(), global) != 0) abort();
    for (size_t at = global; at < b.size();) {
        if (b.size() - at < record) abort();
        uint32_t length = u32(b, at + 8);
        if (length == 0 || length > 0xFFFF || length != u32(b, at + 12) || b.size() - at - record < length) abort();
        at += record + length;
    }
}

struct Output {
    std::vector<uint8_t> messages, pcap;
    uint64_t dropped = 0;
};

// One pass: the stream in reads of `words` words (0: one read), each followed by
// `stray` bytes that are not part of it.
void pass(const std::vector<uint8_t>& stream, size_t words, size_t stray, Output& out) {
    // Made once: a run allocates nothing once its storage has grown.
    static EthernetPlimDecoder_std messageDecoder;
    static EthernetPlimDecoder_pcap pcapDecoder(&fixedClock);
    static std::vector<uint8_t> read;
    Recorder messages(out.messages), pcap(out.pcap);
    messageDecoder.reset();
    pcapDecoder.reset();
    pcapDecoder.beginOutput(pcap);
    size_t size = words ? 4 * words : stream.size();
    for (size_t at = 0; at < stream.size(); at += size) {
        size_t n = std::min(size, stream.size() - at);
        read.assign(stream.begin() + at, stream.begin() + at + n);
        read.resize(n + stray, 0xA5);
        messageDecoder.decode(read.data(), read.size(), messages);
        pcapDecoder.decode(read.data(), read.size(), pcap);
    }
    out.dropped = messageDecoder.takeDroppedFrames();
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
    static Output whole, cut;
    stream.clear();
    for (int r = 0; r < repeat; ++r) stream.insert(stream.end(), data, data + size);
    stream.resize(stream.size() & ~size_t{3});  // a word stream
    words = std::max(words, stream.size() / (4 * kMaxReads));
    pass(stream, 0, 0, whole);
    checkMessages(whole.messages);
    checkPcap(whole.pcap);
    for (size_t s : {size_t{0}, stray}) {
        pass(stream, words, s, cut);
        if (cut.messages != whole.messages || cut.pcap != whole.pcap || cut.dropped != whole.dropped) abort();
    }
    return 0;
}
