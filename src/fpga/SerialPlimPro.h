#pragma once
// The Serial Plim Pro's wire formats: its identity, its message and command
// codes, and the records of its capture stream.
//
// The capture stream comes in packets of 512 bytes, counted from the start of
// each read. A packet holds records back to back and none crosses a packet's
// end; a type byte of 0 ends the packet (the rest is filler). A record is its
// type, a time delta in microseconds since the previous record as unsigned
// LEB128, then 2 bytes for data (types 3 and 4: the byte, one unused), 1 for a
// line-state or status change (5, 13), none for every other type.

#include <cstddef>
#include <cstdint>

#include "foundation/Guid.h"

namespace serialpro {

constexpr uint16_t kVid = 0x326F;
constexpr uint16_t kPid = 0x0005;
constexpr uint32_t kDefaultBaseIndex = 0x2000;

inline constexpr vek::Guid kLogGuids[] = {
    {0x3A1EC99B, 0x234A, 0x49A0, {0xBE, 0x4B, 0xF6, 0xE6, 0x0B, 0x80, 0xA5, 0xC0}},
    {0xB26C1B57, 0x16C7, 0x48A5, {0xBB, 0xB9, 0x05, 0xEA, 0x1A, 0xDA, 0x53, 0x68}},
};

constexpr uint8_t kTransmitEndpoint = 0x02;  // bulk OUT: bytes to send on the line

constexpr size_t kPacketSize = 512;

enum RecordType : uint8_t {
    kRecEnd = 0,            // ends the packet
    kRecData0 = 3,          // a byte received in direction 0
    kRecData1 = 4,          // a byte received in direction 1
    kRecLineState = 5,      // the new line-state byte
    kRecFirstEvent = 7,     // 7 to 10: events
    kRecLastEvent = 10,
    kRecStatus = 13,        // the new status byte
};

// The bytes a record of this type carries after its delta.
constexpr size_t recordArgumentSize(uint8_t type) {
    return type == kRecData0 || type == kRecData1 ? 2 : type == kRecLineState || type == kRecStatus ? 1 : 0;
}

// The shortest data record: type, a one-byte delta, two bytes.
constexpr size_t kMinDataRecord = 4;
// So one packet carries at most this many data bytes.
constexpr size_t kMaxPacketData = kPacketSize / kMinDataRecord;

enum MessageCode : uint8_t {
    kMsgData0 = 0x02,       // a run of bytes of direction 0
    kMsgData1 = 0x03,       // a run of bytes of direction 1
    kMsgRawPacket = 0x29,   // decoder state, then a packet's records
    kMsgLineState = 0x2C,   // new line state, changed bits
    kMsgFirstEvent = 0x2D,  // event records 7 to 10: code = type + 38
    kMsgStatusLow = 0x31,   // u32: new status & 0x03
    kMsgStatusHigh = 0x32,  // new status & 0xFC, changed bits & 0xFC
};

constexpr uint8_t kStatusLowBits = 0x03;
constexpr uint8_t kStatusHighBits = 0xFC;

enum Command : uint8_t {
    kCmdLineSettings = 0x06,  // SerialConfig
    kCmdSetDtr = 0x24,        // u8 level
    kCmdSetRts = 0x25,        // u8 level
    kCmdTransmit = 0x28,      // the bytes to send
    kCmdUploadFirmware = 0x33,
    kCmdStartCapture = 0x34,
    kCmdStopCapture = 0x35,
    kCmdDecoderMode = 0x36,   // u8: 1 raw packets, anything else decoded
    kCmdOptionBits = 0x37,    // u8: bits 0x4C of register 4
};

}  // namespace serialpro
