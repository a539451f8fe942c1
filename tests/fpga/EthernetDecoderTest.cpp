// The Ethernet Plim's reassembly of frame records and its two output forms.
#include <random>

#include "EthernetRecords.h"

using namespace ethernet_test;
using vek::sys::kTicksPerSecond;
using vek::sys::kUnixEpochTicks;

namespace {

// 5 s and 999999 us after the 32-bit seconds field wrapped in 2106.
uint64_t fixedClock() { return kUnixEpochTicks + ((uint64_t{1} << 32) + 5) * kTicksPerSecond + 9'999'999; }
uint32_t u32At(const Bytes& b, size_t at) { return EthernetPlimDecoderBase::word(&b[at]); }

// Little-endian: magic A1B2C3D4 (microseconds), version 2.4, zone 0, accuracy 0,
// snapshot length 65535 (no frame is cut), link type 1 (Ethernet).
const Bytes kPcapGlobalHeader = {0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};

// Messages (code, payload), frames dropped from them, and the pcap stream as
// (seconds, microseconds, frame) after the global header.
using Pcap = std::vector<std::tuple<uint32_t, uint32_t, Bytes>>;
struct Outputs {
    std::vector<std::pair<int, Bytes>> messages;
    uint64_t dropped;
    Pcap pcap;
    bool operator==(const Outputs&) const = default;
};

Outputs decodeBoth(const std::vector<Bytes>& reads) {
    EthernetPlimDecoder_std messageDecoder;
    EthernetPlimDecoder_pcap pcapDecoder(&fixedClock);
    MemoryTransport messageOut, pcapOut;
    EXPECT_TRUE(pcapDecoder.beginOutput(pcapOut));
    for (const Bytes& r : reads) {
        messageDecoder.decode(r.data(), r.size(), messageOut);
        pcapDecoder.decode(r.data(), r.size(), pcapOut);
    }
    Outputs o{{}, messageDecoder.takeDroppedFrames(), {}};
    size_t rest = 0;
    for (const HostMessage& m : parseMessages(messageOut.output(), &rest)) o.messages.emplace_back(m.code, m.payload);
    EXPECT_EQ(rest, 0u);
    Bytes s = pcapOut.output();
    EXPECT_EQ(Bytes(s.begin(), s.begin() + std::min<size_t>(s.size(), 24)), kPcapGlobalHeader);
    for (size_t at = 24, n = 0; at < s.size(); at += 16 + n) {
        if (s.size() - at < 16 || s.size() - at - 16 < (n = u32At(s, at + 8)) || n != u32At(s, at + 12)) {
            ADD_FAILURE() << "no whole pcap record at " << at;
            break;
        }
        o.pcap.emplace_back(u32At(s, at), u32At(s, at + 4), Bytes(s.begin() + at + 16, s.begin() + at + 16 + n));
    }
    return o;
}

// What the records delivered should give.
Outputs expected(const std::vector<Bytes>& records) {
    Outputs o{{}, 0, {}};
    for (const Bytes& r : records) {
        if (r.size() > 0xFFFF)
            ++o.dropped;
        else
            o.messages.emplace_back(u32At(r, 0) & (1u << 27) ? 28 : 27, r);
        o.pcap.emplace_back(5, 999'999, frameOf(r));
    }
    return o;
}

std::vector<Bytes> cut(const Bytes& stream, size_t size) {
    std::vector<Bytes> reads;
    for (size_t at = 0; at < stream.size(); at += size)
        reads.emplace_back(stream.begin() + at, stream.begin() + std::min(stream.size(), at + size));
    return reads;
}

}  // namespace

TEST(EthernetPlimDecoder, ReassemblesRecordsAcrossReads) {
    const Bytes r5 = record(5), code28 = record(64, 1u << 27), jumbo = record(9000);
    const Bytes longest = record(0xFFFF), uncarried = record(65529), carried = record(65528);  // record 65532 bytes
    const std::tuple<const char*, std::vector<Bytes>, std::vector<Bytes>> cases[] = {  // reads, records delivered
        {"idle words, then a 5-byte frame in a 12-byte record", {cat({le32(~0u), le32(0), r5})}, {r5}},
        {"bit 27 selects code 28; any of bits 28-31 drops the record",
         {cat({code28, record(64, 1u << 28), record(3, 1u << 31), r5})}, {code28, r5}},
        {"a read of 10 bytes: its last 2 are ignored", {cat({record(4), {0xEE, 0xEE}}), r5}, {record(4), r5}},
        {"L = 0 is consumed and dropped; bits 16-26 are not read", {cat({le32(0x07FF0000), r5})}, {r5}},
        {"a frame spanning many reads", cut(cat({r5, jumbo, r5}), 1000), {r5, jumbo, r5}},
        {"the longest frames reach pcap whole", cut(cat({longest, uncarried, carried, r5}), 0x10000),
         {longest, uncarried, carried, r5}},
    };
    for (const auto& [what, reads, records] : cases) EXPECT_EQ(decodeBoth(reads), expected(records)) << what;
}

// Random records of every kind among idle words: the frames do not depend on
// where the reads end.
TEST(EthernetPlimDecoder, AnySplitOfAWordStreamGivesTheSameFrames) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 12; ++round) {
        Bytes stream;
        std::vector<Bytes> delivered, reads;
        while (stream.size() < 300000) {
            stream.resize(stream.size() + 4 * (random() % 3), random() % 2 ? 0x00 : 0xFF);
            uint32_t length = random() % 16 ? random() % 1600 : random() % 0x10000;
            uint32_t flags = random() % 6 ? 0 : random() & 0xFFFF0000;
            if ((length | flags) == 0 || (length | flags) == ~0u) continue;  // idle words, not records
            Bytes r = record(length, flags, uint8_t(random()));
            stream.insert(stream.end(), r.begin(), r.end());
            if (length != 0 && (flags >> 28) == 0) delivered.push_back(r);
        }
        for (size_t at = 0, n; at < stream.size(); at += n) {
            n = std::min<size_t>(stream.size() - at, 4 * (1 + random() % (round % 2 ? 5 : 5000)));
            reads.emplace_back(stream.begin() + at, stream.begin() + at + n);
        }
        EXPECT_EQ(decodeBoth({stream}), expected(delivered)) << round;
        EXPECT_EQ(decodeBoth(reads), expected(delivered)) << round;
    }
}
