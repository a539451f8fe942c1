#include "fpga/I2cDecoder.h"

#include "fpga/PlimMessages.h"
#include "session/Message.h"

namespace {

// Stream events (high nibble of a stream byte).
enum I2cEvent : uint8_t {
    kEvStart = 0,          // START; low nibble: flags
    kEvStartHigh = 1,      // START with the high nibble of the first address byte
    kEvHigh = 2,           // high nibble of a byte
    kEvLowAck = 3,         // low nibble, acknowledge 1
    kEvLowNack = 4,        // low nibble, acknowledge 0
    kEvLowAckStop = 5,     // low nibble, acknowledge 1, then STOP
    kEvLowNackStop = 6,    // low nibble, acknowledge 0, then STOP
    kEvStop = 7,           // STOP; low nibble: flags
};

// The top five bits of a first address byte that announce a 10-bit address.
constexpr uint8_t kTenBitPrefixMask = 0xF8;
constexpr uint8_t kTenBitPrefix = 0xF0;

void writeFlags(TransportBase& out, uint32_t flags) { writeMessage(out, kMsgEventFlags, &flags, sizeof flags); }

}  // namespace

void I2cDecoder::reset() {
    state = kIdle;
    addressPhase = kData;
    runLength = 0;
}

void I2cDecoder::flush(TransportBase& out) {
    if (runLength == 0) return;
    static constexpr uint8_t kRunCodes[2][2] = {{kMsgI2cWriteAcked, kMsgI2cWriteNacked}, {kMsgI2cReadAcked, kMsgI2cReadNacked}};
    writeMessage(out, kRunCodes[direction & 1][runAck & 1], buffer.data(), runLength);
    runLength = 0;
}

size_t I2cDecoder::appendDataBytes(const uint8_t* data, size_t size) {
    size_t i = 0;
    const size_t room = kMaxRun - runLength;
    uint8_t* run = buffer.data() + runLength;
    size_t n = 0;
    // Pairs of a high nibble and a low nibble (without STOP) whose acknowledge bit
    // is the run's: each is one data byte more of the same run.
    const uint32_t pairEvents = (runAck ? kEvLowAck : kEvLowNack) << 12 | kEvHigh << 4;
    while (i + 1 < size && n < room && ((data[i] | data[i + 1] << 8) & 0xF0F0) == pairEvents) {
        run[n++] = static_cast<uint8_t>(data[i] << 4 | (data[i + 1] & 0x0F));
        i += 2;
    }
    if (n > 0) {
        runLength += n;
        currentByte = run[n - 1];
    }
    return i;
}

void I2cDecoder::decode(const uint8_t* data, size_t size, TransportBase& out) {
    for (size_t i = 0; i < size; ++i) {
        // The common case first: a stretch of data bytes continuing the run.
        if (state == kByteBoundary && addressPhase == kData && runLength > 0) {
            i += appendDataBytes(data + i, size - i);
            if (i >= size) break;
        }
        const uint8_t b = data[i];
        if (b == kPlimMarkerByte) {
            writeMessage(out, kMsgMarker, nullptr, 0);  // inside a run too: it stays open
            continue;
        }
        const uint8_t event = b >> 4, low = b & 0x0F;
        switch (event) {
            case kEvStart:
                flush(out);
                if (low) writeFlags(out, low);
                writeMessage(out, kMsgI2cStart, nullptr, 0);
                addressPhase = kFirstAddressByte;
                state = kByteBoundary;
                break;
            case kEvStartHigh:
                flush(out);
                writeMessage(out, kMsgI2cStart, nullptr, 0);
                currentByte = static_cast<uint8_t>(low << 4);
                addressPhase = kFirstAddressByte;
                state = kInsideByte;
                break;
            case kEvHigh:
                currentByte = static_cast<uint8_t>(low << 4);
                state = kInsideByte;
                break;
            case kEvLowAck:
            case kEvLowNack:
            case kEvLowAckStop:
            case kEvLowNackStop:
                lowNibble(event, low, out);
                break;
            case kEvStop:
                flush(out);
                if (low) {
                    writeFlags(out, low);
                    writeMessage(out, kMsgI2cStop, nullptr, 0);
                } else {
                    writeMessage(out, state == kByteBoundary ? kMsgI2cStop : kMsgI2cStopOffByte, nullptr, 0);
                }
                state = kIdle;
                break;
            default:
                break;  // 0x8_ to 0xF_ (the filler 0xFF among them) carry nothing
        }
    }
    flush(out);
}

void I2cDecoder::lowNibble(uint8_t event, uint8_t low, TransportBase& out) {
    const uint8_t ack = event & 1;
    if (state != kInsideByte) {
        // Out of sequence: reported, and the byte is taken as data.
        flush(out);
        writeValuePairMessage(out, event, state);
        addressPhase = kData;
    }
    currentByte |= low;
    if (addressPhase == kData) {
        if (runLength < kMaxRun && ack == runAck) {
            buffer[runLength++] = currentByte;
        } else {
            flush(out);
            buffer[0] = currentByte;
            runLength = 1;
            runAck = ack;
        }
    } else {
        completeAddress(ack, out);
    }
    if (event >= kEvLowAckStop) {
        flush(out);
        writeMessage(out, kMsgI2cStop, nullptr, 0);
        state = kIdle;
    } else {
        state = kByteBoundary;
    }
}

void I2cDecoder::completeAddress(uint8_t ack, TransportBase& out) {
    if (addressPhase == kFirstAddressByte) {
        direction = currentByte & 1;
        if ((currentByte & kTenBitPrefixMask) == kTenBitPrefix) {
            address = uint32_t{ack} << 16 | currentByte;
            addressPhase = kSecondAddressByte;
            return;
        }
        address = uint32_t{ack} << 8 | currentByte;
        const uint8_t payload[2] = {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8)};
        writeMessage(out, kMsgI2cAddress, payload, sizeof payload);
    } else {
        address |= (uint32_t{ack} << 9 | currentByte) << 8;
        const uint8_t payload[4] = {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                                    static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
        writeMessage(out, kMsgI2cAddress10, payload, sizeof payload);
    }
    addressPhase = kData;
}
