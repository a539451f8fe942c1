#include "fpga/SpiDecoder.h"

#include <cstring>

#include "fpga/PlimMessages.h"
#include "session/Message.h"

namespace {

enum SpiEvent : uint8_t {
    kEvFrame0 = 0,  // frame events; bits 0-1: flags
    kEvLine1First = 1,
    kEvLine1Second = 2,
    kEvLine2First = 3,
    kEvLine2Second = 4,
    kEvFrame5 = 5,
};

constexpr uint8_t kFrameFlagMask = 0x03;
constexpr uint32_t kWordBits = 16;
constexpr uint32_t kNibbleBits = 4;

// The four data events in cycle order, whatever their nibbles.
bool isCycle(const uint8_t* p) {
    uint32_t events = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    return (events & 0xF0F0F0F0) == 0x40203010;
}

// The nibbles of a word in reverse order, for the device's little-endian mode.
uint16_t reverseNibbles(uint16_t w, uint32_t dataBits) {
    switch (dataBits) {
        case 4: return w;
        case 8: return static_cast<uint16_t>((w & 0x0F) << 4 | (w >> 4 & 0x0F));
        case 12: return static_cast<uint16_t>((w & 0x0F) << 8 | (w & 0xF0) | (w >> 8 & 0x0F));
        default:
            return static_cast<uint16_t>((w & 0x0F) << 12 | (w & 0xF0) << 4 | (w >> 4 & 0xF0) | (w >> 12 & 0x0F));
    }
}

// Adds a nibble at `bit`; bits beyond the word are lost, as a 16-bit word loses
// them (a host may ask for any width).
void addNibble(uint16_t& word, uint8_t nibble, uint32_t bit) {
    if (bit < kWordBits) word = static_cast<uint16_t>(word | nibble << bit);
}

}  // namespace

void SpiDecoder::reset(const SpiConfig& config) {
    state = bitCount = 0;
    word1 = word2 = 0;
    lineLength = 0;
    dataBits = config.dataBits;
    isLittleEndian = config.isLittleEndian != 0;
}

void SpiDecoder::flush(TransportBase& out) {
    if (lineLength == 0) return;
    std::memmove(buffer.data() + lineLength, buffer.data() + kLineSize, lineLength);
    writeMessage(out, kMsgSpiData, buffer.data(), 2 * lineLength);
    lineLength = 0;
}

void SpiDecoder::storeWords(uint16_t w1, uint16_t w2) {
    uint8_t* line1 = buffer.data() + lineLength;
    uint8_t* line2 = buffer.data() + kLineSize + lineLength;
    line1[0] = static_cast<uint8_t>(w1);
    line1[1] = static_cast<uint8_t>(w1 >> 8);
    line2[0] = static_cast<uint8_t>(w2);
    line2[1] = static_cast<uint8_t>(w2 >> 8);
    lineLength += 2;
}

void SpiDecoder::completeWord() {
    uint16_t w1 = word1, w2 = word2;
    if (isLittleEndian) {
        w1 = reverseNibbles(w1, dataBits);
        w2 = reverseNibbles(w2, dataBits);
    }
    if (dataBits == 4 || dataBits == 8) {
        buffer[lineLength] = static_cast<uint8_t>(w1);
        buffer[kLineSize + lineLength] = static_cast<uint8_t>(w2);
        lineLength += 1;
    } else {
        storeWords(w1, w2);
    }
    bitCount = 0;
    word1 = word2 = 0;
}

size_t SpiDecoder::takeCycles(const uint8_t* data, size_t size, TransportBase& out) {
    size_t i = 0;
    if (dataBits == 8 && bitCount == 0) {
        // The usual width: every cycle is one byte of each line.
        const int low = isLittleEndian ? 4 : 0, high = 4 - low;
        while (i + 4 <= size && isCycle(data + i)) {
            buffer[lineLength] = static_cast<uint8_t>((data[i] & 0x0F) << low | (data[i + 2] & 0x0F) << high);
            buffer[kLineSize + lineLength] = static_cast<uint8_t>((data[i + 1] & 0x0F) << low | (data[i + 3] & 0x0F) << high);
            i += 4;
            if (++lineLength == kLineSize) flush(out);
        }
        return i;
    }
    if (dataBits == 16 && bitCount == 0) {
        // Two cycles a word.
        while (i + 8 <= size && isCycle(data + i) && isCycle(data + i + 4)) {
            const uint8_t* p = data + i;
            uint16_t w1 = static_cast<uint16_t>((p[0] & 0x0F) | (p[2] & 0x0F) << 4 | (p[4] & 0x0F) << 8 | (p[6] & 0x0F) << 12);
            uint16_t w2 = static_cast<uint16_t>((p[1] & 0x0F) | (p[3] & 0x0F) << 4 | (p[5] & 0x0F) << 8 | (p[7] & 0x0F) << 12);
            if (isLittleEndian) {
                w1 = reverseNibbles(w1, 16);
                w2 = reverseNibbles(w2, 16);
            }
            storeWords(w1, w2);
            i += 8;
            if (lineLength >= kLineSize) flush(out);
        }
        return i;
    }
    // Any width: a cycle is safe in one step while no word can complete inside it.
    while (i + 4 <= size && bitCount + kNibbleBits < dataBits && dataBits <= kWordBits && isCycle(data + i)) {
        word1 = static_cast<uint16_t>(word1 | (data[i] & 0x0F) << bitCount | (data[i + 2] & 0x0F) << (bitCount + 4));
        word2 = static_cast<uint16_t>(word2 | (data[i + 1] & 0x0F) << bitCount | (data[i + 3] & 0x0F) << (bitCount + 4));
        bitCount += 2 * kNibbleBits;
        i += 4;
        if (bitCount >= dataBits) {
            completeWord();
            if (lineLength >= kLineSize) flush(out);
        }
    }
    return i;
}

void SpiDecoder::decode(const uint8_t* data, size_t size, TransportBase& out) {
    for (size_t i = 0; i < size; ++i) {
        // The common case first: whole cycles of the four data events.
        if (state == 0) {
            i += takeCycles(data + i, size - i, out);
            if (i >= size) break;
        }
        const uint8_t b = data[i];
        if (b == kPlimMarkerByte) {
            writeMessage(out, kMsgMarker, nullptr, 0);
            continue;
        }
        if (b == kPlimFillerByte) continue;
        const uint8_t event = b >> 4, low = b & 0x0F;
        switch (event) {
            case kEvFrame0:
            case kEvFrame5: {
                flush(out);
                uint32_t flags = (b & kFrameFlagMask) + bitCount;
                if (flags) writeMessage(out, kMsgEventFlags, &flags, sizeof flags);
                writeMessage(out, event == kEvFrame0 ? kMsgSpiFrame0 : kMsgSpiFrame5, nullptr, 0);
                state = bitCount = 0;
                word1 = word2 = 0;
                break;
            }
            case kEvLine1First:
                if (state != 0) writeValuePairMessage(out, event, state);
                addNibble(word1, low, bitCount);
                state = 1;
                break;
            case kEvLine2First:
                if (state != 1) writeValuePairMessage(out, event, state);
                state = 2;
                addNibble(word2, low, bitCount);
                bitCount += kNibbleBits;
                break;
            case kEvLine1Second:
                if (state != 2) writeValuePairMessage(out, event, state);
                addNibble(word1, low, bitCount);
                state = 3;
                break;
            case kEvLine2Second:
                if (state != 3) writeValuePairMessage(out, event, state);
                state = 0;
                addNibble(word2, low, bitCount);
                bitCount += kNibbleBits;
                break;
            default:
                break;  // 0x6_ to 0xF_ carry nothing
        }
        if (bitCount >= dataBits) {
            completeWord();
            if (lineLength >= kLineSize) flush(out);
        }
    }
    flush(out);
}
