#pragma once
// Message codes the I2C/SPI Plim decoders send to the host (kind 2), beside the
// generic ones of session/Message.h.

#include <cstdint>

enum PlimMessageCode : uint8_t {
    // Data runs by direction and acknowledge bit (the bus level: 0 is an ACK).
    kMsgI2cWriteNacked = 2,  // data run: write direction, acknowledge bit 1
    kMsgI2cReadNacked = 3,   // data run: read direction, acknowledge bit 1
    kMsgMarker = 7,          // the device sent its marker byte 0xAA
    kMsgEventFlags = 9,      // u32 flags of an event
    kMsgI2cStart = 10,
    kMsgI2cAddress = 11,     // address byte, acknowledge bit
    kMsgI2cAddress10 = 12,   // both address bytes, acknowledge bits, 0
    kMsgI2cStop = 13,
    kMsgI2cStopOffByte = 14, // STOP while not at a byte boundary
    kMsgI2cWriteAcked = 15,  // data run: write direction, acknowledge bit 0
    kMsgI2cReadAcked = 16,   // data run: read direction, acknowledge bit 0
    kMsgSpiFrame0 = 20,      // frame event 0x0_
    kMsgSpiFrame5 = 21,      // frame event 0x5_
    kMsgSpiData = 22,        // n bytes of the first line, then n of the second
};

// The device's marker byte and the filler it pads with, in both capture streams.
constexpr uint8_t kPlimMarkerByte = 0xAA;
constexpr uint8_t kPlimFillerByte = 0xFF;
