// The Ethernet Plim's reassembly of frame records and its two output forms.
#include <gtest/gtest.h>

#include <random>

#include "EthernetRecords.h"
#include "support/MemoryTransport.h"

using namespace ethernet_test;
using vek::sys::kTicksPerSecond;
using vek::sys::kUnixEpochTicks;

namespace {

using Messages = std::vector<std::pair<int, Bytes>>;

uint64_t now = kUnixEpochTicks + 17 * kTicksPerSecond + 420;  // 17 s and 42 us after 1970
uint64_t fixedClock() { return now; }

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

struct Outputs {
    Messages messages;
    uint64_t dropped;
    std::vector<PcapRecord> pcap;
    int headers;
};

// The reads through both decoders, each on an output of its own.
Outputs decodeBoth(const std::vector<Bytes>& reads) {
    EthernetPlimDecoder_std messageDecoder;
    EthernetPlimDecoder_pcap pcapDecoder(&fixedClock);
    MemoryTransport messageOut, pcapOut;
    EXPECT_TRUE(pcapDecoder.beginOutput(pcapOut));
    for (const Bytes& r : reads) {
        messageDecoder.decode(r.data(), r.size(), messageOut);
        pcapDecoder.decode(r.data(), r.size(), pcapOut);
    }
    Outputs o{{}, messageDecoder.takeDroppedFrames(), {}, 0};
    size_t rest = 0;
    for (const HostMessage& m : parseMessages(messageOut.output(), &rest)) o.messages.emplace_back(m.code, m.payload);
    EXPECT_EQ(rest, 0u);
    o.pcap = readPcap(pcapOut.output(), &o.headers);
    return o;
}

std::vector<Bytes> cut(const Bytes& stream, size_t size) {
    std::vector<Bytes> reads;
    for (size_t at = 0; at < stream.size(); at += size)
        reads.emplace_back(stream.begin() + at, stream.begin() + std::min(stream.size(), at + size));
    return reads;
}

// What the host should get for these records: messages, frames dropped from them, pcap records.
Outputs expected(const std::vector<Bytes>& records) {
    Outputs o{{}, 0, {}, 1};
    for (const Bytes& r : records) {
        if (r.size() > 0xFFFF)
            ++o.dropped;
        else
            o.messages.emplace_back(u32At(r, 0) & (1u << 27) ? 28 : 27, r);
        o.pcap.push_back({17, 42, frameOf(r)});
    }
    return o;
}

void expectSame(const Outputs& got, const Outputs& want, const char* what) {
    EXPECT_EQ(got.messages, want.messages) << what;
    EXPECT_EQ(got.dropped, want.dropped) << what;
    EXPECT_EQ(got.pcap, want.pcap) << what;
    EXPECT_EQ(got.headers, want.headers) << what;
}

}  // namespace

TEST(EthernetPlimDecoder, ReassemblesRecordsAcrossReads) {
    const Bytes r5 = record(5), r64 = record(64, 0, 7), code28 = record(64, 1u << 27), jumbo = record(9000);
    const Bytes longest = record(0xFFFF), carried = record(0xFFFF - 4);
    struct {
        const char* what;
        std::vector<Bytes> reads;
        std::vector<Bytes> records;  // delivered
    } cases[] = {
        {"idle words, then a 5-byte frame in a 12-byte record", {cat({le32(~0u), le32(0), r5})}, {r5}},
        {"bit 27 selects code 28; any of bits 28-31 drops the record",
         {cat({code28, record(64, 1u << 28), record(3, 1u << 31), r5})}, {code28, r5}},
        {"a 64-byte frame split 20/48", {Bytes(r64.begin(), r64.begin() + 20), Bytes(r64.begin() + 20, r64.end())}, {r64}},
        {"a read of 10 bytes: its last 2 are ignored", {cat({record(4), {0xEE, 0xEE}}), r5}, {record(4), r5}},
        {"L = 0 is consumed and dropped; bits 16-26 are not read", {cat({le32(0x07FF0000), r5})}, {r5}},
        {"a frame spanning many reads", cut(cat({r5, jumbo, r5}), 1000), {r5, jumbo, r5}},
        // A message carries at most 65535 bytes: the record of a 65531-byte frame.
        {"the longest frames reach pcap whole", cut(cat({longest, carried, r5}), 0x10000), {longest, carried, r5}},
    };
    for (const auto& c : cases) expectSame(decodeBoth(c.reads), expected(c.records), c.what);
}

TEST(EthernetPlimDecoder, PcapRecordsCarryTheHostTimeInMicroseconds) {
    const std::tuple<uint64_t, uint32_t, uint32_t> cases[] = {
        {kUnixEpochTicks, 0, 0},
        {kUnixEpochTicks + 123'456'789, 12, 345'678},
        {kUnixEpochTicks + 999'999'9, 0, 999'999},
        // In 2106 the seconds field wraps.
        {kUnixEpochTicks + ((uint64_t{1} << 32) + 5) * kTicksPerSecond + 70, 5, 7},
    };
    for (const auto& [ticks, seconds, microseconds] : cases) {
        now = ticks;
        EXPECT_EQ(decodeBoth({record(1)}).pcap, (std::vector<PcapRecord>{{seconds, microseconds, {1}}})) << ticks;
    }
    now = kUnixEpochTicks + 17 * kTicksPerSecond + 420;
}

// Random records of every kind among idle words: the frames do not depend on
// where the reads end.
TEST(EthernetPlimDecoder, AnySplitOfAWordStreamGivesTheSameFrames) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 12; ++round) {
        Bytes stream;
        std::vector<Bytes> delivered;
        while (stream.size() < 300000) {
            if (random() % 4 == 0) {
                stream.resize(stream.size() + 4 * (random() % 8), random() % 2 ? 0x00 : 0xFF);
                continue;
            }
            uint32_t length = random() % 16 == 0 ? random() % 0x10000 : random() % 1600;
            uint32_t flags = random() % 6 == 0 ? random() & 0xFFFF0000 : 0;
            uint32_t header = length | flags;
            if (header == 0 || header == ~0u) continue;  // idle words, not records
            Bytes r = record(length, flags, uint8_t(random()));
            stream.insert(stream.end(), r.begin(), r.end());
            if (length != 0 && (flags >> 28) == 0) delivered.push_back(r);
        }
        std::vector<Bytes> reads;
        for (size_t at = 0; at < stream.size();) {
            size_t n = std::min(stream.size() - at, 4 * (1 + random() % (round % 2 ? 5 : 5000)));
            reads.emplace_back(stream.begin() + at, stream.begin() + at + n);
            at += n;
        }
        Outputs want = expected(delivered);
        expectSame(decodeBoth({stream}), want, "one read");
        expectSame(decodeBoth(reads), want, "random reads");
    }
}
