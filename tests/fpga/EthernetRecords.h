#pragma once
// Ethernet Plim test helpers: the records the device sends, and a reader of the
// pcap stream the program writes.
#include <gtest/gtest.h>

#include "fpga/EthernetPlimDecoder.h"
#include "support/MemoryTransport.h"

namespace ethernet_test {

using Bytes = std::vector<uint8_t>;

inline uint32_t u32At(const Bytes& b, size_t at) { return EthernetPlimDecoderBase::word(&b[at]); }

// A header word (L | flags), L bytes counting up from `seed`, zero padding.
inline Bytes record(uint32_t length, uint32_t flags = 0, uint8_t seed = 1) {
    Bytes r(EthernetPlimDecoderBase::recordSize(length), 0);
    uint32_t header = length | flags;
    std::memcpy(r.data(), &header, 4);
    for (uint32_t i = 0; i < length; ++i) r[4 + i] = uint8_t(seed + i);
    return r;
}
inline Bytes frameOf(const Bytes& r) { return Bytes(r.begin() + 4, r.begin() + 4 + (u32At(r, 0) & 0xFFFF)); }

struct PcapRecord {
    uint32_t seconds, microseconds;
    Bytes frame;
    bool operator==(const PcapRecord&) const = default;
};

// The records of a pcap stream, both length fields alike; the program's global
// header, where a record may begin, is counted in `headers`.
inline std::vector<PcapRecord> readPcap(const Bytes& s, int* headers) {
    std::vector<PcapRecord> out;
    *headers = 0;
    for (size_t at = 0; at < s.size();) {
        if (s.size() - at >= 24 && std::memcmp(&s[at], EthernetPlimDecoder_pcap::globalHeader(), 24) == 0) {
            ++*headers, at += 24;
            continue;
        }
        uint32_t length = s.size() - at >= 16 ? u32At(s, at + 8) : 0;
        if (s.size() - at < 16 + size_t{length} || u32At(s, at + 12) != length) {
            ADD_FAILURE() << "no whole record at " << at;
            break;
        }
        out.push_back({u32At(s, at), u32At(s, at + 4), Bytes(s.begin() + at + 16, s.begin() + at + 16 + length)});
        at += 16 + length;
    }
    return out;
}

}  // namespace ethernet_test
