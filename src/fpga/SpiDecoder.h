#pragma once
// Turns the SPI Plim's capture stream into host messages. Each stream byte is an
// event: the high nibble says which, the low nibble is its argument. The device
// interleaves four bits of each of the two data lines per nibble pair, in the
// cycle 1 (line 1), 3 (line 2), 2 (line 1), 4 (line 2); the first nibble lands in
// the least significant bits of a word. Complete words are collected per line and
// sent as one message per read buffer (or per 4096 bytes of a line).
//
// Runs on the controller's process thread only, one read buffer at a time; a word
// may be split between two reads. Nothing is allocated after construction.

#include <array>
#include <cstddef>
#include <cstdint>

#include "session/Settings.h"
#include "transport/TransportBase.h"

class SpiDecoder {
public:
    static constexpr size_t kBufferSize = 8192;
    static constexpr size_t kLineSize = kBufferSize / 2;

    // A capture start: the word cycle begins afresh with these parameters. A width
    // other than 4, 8, 12 or 16 is used as given: it only decides when a word is
    // complete and stores it as two bytes.
    void reset(const SpiConfig& config);
    void decode(const uint8_t* data, size_t size, TransportBase& out);

private:
    // At the start of the event cycle: takes whole cycles of the four data events
    // while no word completes inside one, as the event-by-event path would;
    // returns the stream bytes taken.
    size_t takeCycles(const uint8_t* data, size_t size, TransportBase& out);
    void completeWord();
    // Both words as 16-bit little-endian values, one per line.
    void storeWords(uint16_t w1, uint16_t w2);
    void flush(TransportBase& out);

    // First half: bytes of the first line; second half: those of the second, in step.
    std::array<uint8_t, kBufferSize> buffer;
    size_t lineLength = 0;  // bytes in each half
    uint32_t state = 0;     // position in the four-event cycle
    uint32_t bitCount = 0;
    uint16_t word1 = 0, word2 = 0;
    uint32_t dataBits = 8;
    uint8_t isLittleEndian = 0;
};
