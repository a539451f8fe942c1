#pragma once
// What every host message means, per device family: its name, which way it
// travels, and how its payload reads. The one description of the messages:
// qwdump prints from it, the pcap converters take the qwlog record codes from
// it, and the Wireshark dissector's tables are generated from it at build time.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "DeviceFamily.h"

enum class FieldType : uint8_t {
    kUnsigned,      // `width` bytes little-endian at `at`, masked and shifted
    kEnum,          // an unsigned value with a name per value (`names[value]`)
    kFlags,         // an unsigned value with a name per bit (`names[bit]`, "" unnamed)
    kLevel,         // one byte: 0 clears, anything else sets (shown as 0 or 1)
    kConstant,      // no bytes: `constant`, named by `names`, fixed by the code
    kFiletime,      // u64 FILETIME (100 ns since 1601, UTC)
    kBytes,         // from `at` to the end of the payload
    kHalves,        // from `at`: two equal halves, one per SPI data line
    kErrorRecord,   // an error record (u32 size, domain GUID, u32 code, payload)
    kI2cAddress10,  // a 10-bit I2C address from its two address bytes
    kEthernet,      // an Ethernet Plim record: header word, frame, padding
    kProRecords,    // Serial Plim Pro packet records (type, LEB128 delta, bytes)
};

enum class Base : uint8_t { kDecimal, kHex };

struct FieldSpec {
    FieldType type;
    const char* key;     // qwdump's key; also the field's name in the dissector
    const char* filter;  // display filter name after "quenwick."
    const char* label;   // the dissector's label
    uint8_t at = 0;      // payload offset
    uint8_t width = 0;   // bytes of an unsigned value: 1, 2, 4 or 8
    uint32_t mask = 0;   // 0: all bits; else the bits, shifted down to bit 0
    Base base = Base::kDecimal;
    uint8_t digits = 0;  // hex digits qwdump prints at least
    std::span<const char* const> names = {};
    uint32_t constant = 0;
    // kFlags: the all-ones value means "unknown" rather than every bit.
    bool allOnesUnknown = false;
};

enum class Direction : uint8_t { kToHost, kToDevice };

struct MessageSpec {
    uint8_t code;
    const char* name;
    Direction direction = Direction::kToHost;
    // The payload bytes its fields need; a shorter payload is shown as bytes.
    uint16_t minSize = 0;
    // Data of line (or direction) 0 or 1; -1 for other messages.
    int8_t line = -1;
    std::span<const FieldSpec> fields = {};
};

// The messages of a family, generic ones included; empty for kUnknown but for
// the generic ones.
std::span<const MessageSpec> familyMessages(DeviceFamily family);
// The message `code` means for `family`; nullptr when it means nothing there.
const MessageSpec* findMessage(DeviceFamily family, uint8_t code);

// The families the tables know, kUnknown first.
std::span<const DeviceFamily> allFamilies();

// The *.qwlog record code a message becomes, and back. Status records carry
// {value, changed bits}; their message is the value alone (4 bytes).
struct RecordOrigin {
    uint64_t record;
    uint8_t message;
};
std::span<const RecordOrigin> recordOrigins();
// The message a record of `family` was made from, if any.
std::optional<uint8_t> messageOfRecord(DeviceFamily family, uint64_t record);
// A *.qwlog file's family: its class GUIDs name it, except that the I2C/SPI
// Plim's two modes share theirs; there the first record that only one mode
// writes decides (I2C when none does).
std::optional<DeviceFamily> familyOfLog(std::span<const vek::Guid> guids, std::span<const uint64_t> recordCodes);
// Records whose data is {u32 value, u32 changed}, of which the message keeps the value.
bool isStatusRecord(uint64_t record);

// Serial Plim Pro packet record types (the raw packets of message 0x29).
struct ProRecordType {
    uint8_t type;
    const char* name;
    uint8_t argumentBytes;
};
std::span<const ProRecordType> proRecordTypes();
