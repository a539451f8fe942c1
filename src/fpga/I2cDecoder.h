#pragma once
// Turns the I2C Plim's capture stream into host messages. Each stream byte is an
// event: the high nibble says which, the low nibble is its argument. Data bytes
// arrive as two nibbles (high, then low with the acknowledge bit in the event)
// and are gathered into runs of one direction and acknowledge bit.
//
// Runs on the controller's process thread only, one read buffer at a time; the
// state lives across buffers (a byte may be split between two reads), the run is
// flushed at the end of each buffer. Nothing is allocated after construction.

#include <array>
#include <cstddef>
#include <cstdint>

#include "transport/TransportBase.h"

class I2cDecoder {
public:
    static constexpr size_t kBufferSize = 8192;
    static constexpr size_t kMaxRun = kBufferSize - 1;

    // Back to idle with an empty run, as at a capture start. Direction and the
    // run's acknowledge bit keep their values, as the device does not resend them.
    void reset();
    // Decodes one read buffer and writes what it finds to `out`; write failures
    // are not reported (the capture goes on).
    void decode(const uint8_t* data, size_t size, TransportBase& out);

private:
    enum State : uint32_t { kIdle = 0, kByteBoundary = 1, kInsideByte = 2 };
    enum AddressPhase : uint32_t { kData = 0, kFirstAddressByte = 1, kSecondAddressByte = 2 };

    // At a byte boundary in the data phase: takes the data bytes that continue the
    // run, as the event-by-event path would; returns the stream bytes taken.
    size_t appendDataBytes(const uint8_t* data, size_t size);
    void lowNibble(uint8_t event, uint8_t low, TransportBase& out);
    void completeAddress(uint8_t ack, TransportBase& out);
    void flush(TransportBase& out);

    std::array<uint8_t, kBufferSize> buffer;  // the current run of data bytes
    size_t runLength = 0;
    uint32_t state = kIdle;
    uint32_t addressPhase = kData;
    uint8_t currentByte = 0;  // assembled high nibble first
    uint8_t direction = 0;    // bit 0 of the last first address byte: 1 read
    uint8_t runAck = 0;
    uint32_t address = 0;
};
