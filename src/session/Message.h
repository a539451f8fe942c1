#pragma once
// Host message framing: {kind 2, code, u16 size little-endian} then size payload
// bytes, in both directions. The writers hold the transport's message lock across
// a message's writes, so whole messages never interleave on a shared transport.

#include <cstddef>
#include <cstdint>

#include "transport/TransportBase.h"

struct MessageHdr {
    uint8_t kind;
    uint8_t code;
    uint16_t size;  // little-endian on the wire, as in memory on our platforms
};
static_assert(sizeof(MessageHdr) == 4);

constexpr uint8_t kMessageKind = 2;
constexpr size_t kMaxPayload = 0xFFFF;

// Codes every device uses.
enum GenericMessageCode : uint8_t {
    kMsgDone = 0x00,       // command carried out; firmware upload ended
    kMsgValuePair = 0x08,  // two u32 values from a decoder
    kMsgError = 0x20,      // one error record
};

// Writes all n bytes: after a partial write, waits and writes the rest, for as
// long as the transport keeps taking bytes. A zero-length request still calls
// write once. False when a write fails (the transport set the last error).
bool writeAll(TransportBase& t, const void* data, size_t n);

// One message: header and payload in one gathered write (writeParts), so a
// split output file holds whole messages. A payload above 65535 bytes goes out
// as consecutive messages of the same code, nothing dropped.
bool writeMessage(TransportBase& t, uint8_t code, const void* payload, size_t n);

// The calling thread's last error record as a code-0x20 message.
bool writeErrorMessage(TransportBase& t);

// Code 0x08 with the two values as u32 little-endian.
bool writeValuePairMessage(TransportBase& t, uint32_t first, uint32_t second);

// Payload of a complete message (header followed by its payload).
inline const uint8_t* messagePayload(const uint8_t* message) { return message + sizeof(MessageHdr); }
inline MessageHdr messageHeader(const uint8_t* message) {
    return MessageHdr{message[0], message[1], static_cast<uint16_t>(message[2] | (message[3] << 8))};
}
