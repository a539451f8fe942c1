#pragma once
// The records the Ethernet Plim sends, for its tests.
#include <gtest/gtest.h>

#include "fpga/EthernetPlimDecoder.h"
#include "support/MemoryTransport.h"

namespace ethernet_test {

// A header word (L | flags), L bytes counting up from `seed`, zero padding.
inline Bytes record(uint32_t length, uint32_t flags = 0, uint8_t seed = 1) {
    Bytes r(EthernetPlimDecoderBase::recordSize(length), 0);
    uint32_t header = length | flags;
    std::memcpy(r.data(), &header, 4);
    for (uint32_t i = 0; i < length; ++i) r[4 + i] = uint8_t(seed + i);
    return r;
}
inline Bytes frameOf(const Bytes& r) { return Bytes(r.begin() + 4, r.begin() + 4 + (r[0] | r[1] << 8)); }

}  // namespace ethernet_test
