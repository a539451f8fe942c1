#pragma once
// Test helpers for the Ethernet Plim: the records the device sends, and a plain
// reader of the pcap stream the program writes.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fpga/EthernetPlimDecoder.h"

namespace ethernet_test {

using Bytes = std::vector<uint8_t>;

inline uint32_t u32At(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

// A header word (L | flags), L bytes counting up from `seed`, zero padding.
inline Bytes record(uint32_t length, uint32_t flags = 0, uint8_t seed = 1) {
    Bytes r(EthernetPlimDecoderBase::recordSize(length | flags), 0);
    uint32_t header = length | flags;
    std::memcpy(r.data(), &header, 4);
    for (uint32_t i = 0; i < length; ++i) r[4 + i] = uint8_t(seed + i);
    return r;
}

inline Bytes frameOf(const Bytes& record) {
    return Bytes(record.begin() + 4, record.begin() + 4 + (u32At(record, 0) & 0xFFFF));
}

struct PcapRecord {
    uint32_t seconds, microseconds;
    Bytes frame;
    bool operator==(const PcapRecord&) const = default;
};

// Records of a pcap stream; a global header where a record may begin counts in
// `headers` (it must be the program's, byte for byte). Anything else fails.
inline std::vector<PcapRecord> readPcap(const Bytes& s, int* headers) {
    std::vector<PcapRecord> out;
    *headers = 0;
    const uint8_t* global = EthernetPlimDecoder_pcap::globalHeader();
    for (size_t at = 0; at < s.size();) {
        if (s.size() - at >= 24 && std::memcmp(&s[at], global, 24) == 0) {
            ++*headers;
            at += 24;
            continue;
        }
        EXPECT_GE(s.size() - at, 16u);
        if (s.size() - at < 16) break;
        uint32_t length = u32At(s, at + 8);
        EXPECT_EQ(u32At(s, at + 12), length);
        EXPECT_GE(s.size() - at - 16, length);
        if (s.size() - at - 16 < length) break;
        out.push_back({u32At(s, at), u32At(s, at + 4), Bytes(s.begin() + at + 16, s.begin() + at + 16 + length)});
        at += 16 + length;
    }
    return out;
}

}  // namespace ethernet_test
