#pragma once
// For the Serial Plim Pro decoder fuzz targets: the input's stream handed out as
// reads, each copied to the end of a buffer of its own size, so that a decoder
// reading past a read's end meets the sanitizer's red zone.

#include <algorithm>
#include <cstring>
#include <memory>

#include "MessageCheck.h"
#include "fpga/SerialPlimProDecoder.h"

// Input: two bytes give the read size (1 to 1536), the rest is the stream.
template <typename Decode>
void eachRead(const uint8_t* data, size_t size, Decode decode) {
    if (size < 2) return;
    size_t readSize = 1 + (data[0] | data[1] << 8) % (3 * serialpro::kPacketSize);
    for (size_t at = 2; at < size; at += readSize) {
        size_t n = std::min(readSize, size - at);
        auto read = std::make_unique<uint8_t[]>(n);
        std::memcpy(read.get(), data + at, n);
        decode(read.get(), n);
    }
}
