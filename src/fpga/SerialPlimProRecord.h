#pragma once
// Reading one record of a Serial Plim Pro packet (SerialPlimPro.h) without ever
// looking past the packet's last byte. Both decoders use it.

#include <cstddef>
#include <cstdint>

#include "fpga/SerialPlimPro.h"

namespace serialpro {

struct Record {
    uint8_t type = 0;
    uint64_t delta = 0;             // microseconds since the previous record
    const uint8_t* args = nullptr;  // recordArgumentSize(type) bytes
    size_t end = 0;                 // offset of the next record
};

// LEB128 groups of 7 bits: the tenth byte holds bit 63 alone.
constexpr unsigned kLastDeltaShift = 63;

// The record at `at` of a packet of `size` bytes. False where the packet ends:
// at its end, at a type byte of 0, or at a record that does not lie whole
// inside it (a delta without its last byte, one of more than 64 bits, missing
// argument bytes); nothing of the packet after that counts.
inline bool readRecord(const uint8_t* packet, size_t size, size_t at, Record* r) {
    if (at >= size || packet[at] == kRecEnd) return false;
    r->type = packet[at];
    size_t i = at + 1;
    uint64_t delta = 0;
    for (unsigned shift = 0;; shift += 7) {
        if (i >= size) return false;
        uint8_t b = packet[i++];
        if (shift == kLastDeltaShift && b > 1) return false;
        delta |= uint64_t{b & 0x7Fu} << shift;
        if (!(b & 0x80)) break;
    }
    size_t argSize = recordArgumentSize(r->type);
    if (size - i < argSize) return false;
    r->delta = delta;
    r->args = packet + i;
    r->end = i + argSize;
    return true;
}

}  // namespace serialpro
