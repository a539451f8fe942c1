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
constexpr uint8_t kMoreDeltaBytes = 0x80;

namespace detail {

// The record's type at `at` and its argument bytes from `args` on, where its
// delta ended. False when the arguments do not lie whole inside the packet.
inline bool finishRecord(const uint8_t* packet, size_t size, size_t at, size_t args, Record* r) {
    size_t argSize = recordArgumentSize(packet[at]);
    if (size - args < argSize) return false;
    r->type = packet[at];
    r->args = packet + args;
    r->end = args + argSize;
    return true;
}

}  // namespace detail

// The record at `at` of a packet of `size` bytes. False where the packet ends:
// at its end, at a type byte of 0, or at a record that does not lie whole
// inside it (a delta without its last byte, one of more than 64 bits, missing
// argument bytes); nothing of the packet after that counts.
inline bool readRecord(const uint8_t* packet, size_t size, size_t at, Record* r) {
    if (at >= size || packet[at] == kRecEnd) return false;
    size_t i = at + 1;
    uint64_t delta = 0;
    for (unsigned shift = 0;; shift += 7) {
        if (i >= size) return false;
        uint8_t b = packet[i++];
        if (shift == kLastDeltaShift && b > 1) return false;
        delta |= uint64_t{b & 0x7Fu} << shift;
        if (!(b & kMoreDeltaBytes)) break;
    }
    if (!detail::finishRecord(packet, size, at, i, r)) return false;
    r->delta = delta;
    return true;
}

// As readRecord, for a reader that has no use for the delta: it is skipped
// whole, however long, and `delta` is left 0. Only a delta that does not end
// inside the packet, or missing argument bytes, end the packet.
inline bool skipRecord(const uint8_t* packet, size_t size, size_t at, Record* r) {
    if (at >= size || packet[at] == kRecEnd) return false;
    size_t i = at + 1;
    while (i < size && (packet[i] & kMoreDeltaBytes)) ++i;
    if (i >= size) return false;
    r->delta = 0;
    return detail::finishRecord(packet, size, at, i + 1, r);
}

}  // namespace serialpro
