#pragma once
// The *.qwlog log record file, all integers little-endian:
//
//   header   "log:", u32 version, u64 recordCount, u64 recordsSize (headers
//            included), u32 lastRecordSize, u24 recordOffset, u8 guidCount - 1,
//            then guidCount class GUIDs; an optional auxiliary block ("aux:",
//            u32 size) may lie between the GUIDs and the first record
//   records  from recordOffset, back to back: "\nrc:", u32 dataSize, u64 code,
//            u64 FILETIME timestamp, dataSize bytes
//
// Shared by the writer (QwlogTransport) and the reader (QwlogReader); every
// check here reads only the bytes it is given.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "foundation/Guid.h"

namespace qwlog {

constexpr uint8_t kSignature[4] = {'l', 'o', 'g', ':'};
constexpr uint32_t kVersion = 0x00030A00;
constexpr uint8_t kAuxSignature[4] = {'a', 'u', 'x', ':'};
constexpr uint8_t kRecordSignature[4] = {0x0A, 'r', 'c', ':'};

constexpr size_t kFixedHeaderSize = 32;
constexpr size_t kGuidSize = sizeof(vek::Guid);
constexpr size_t kAuxHeaderSize = 8;  // "aux:" and the block's u32 size
constexpr size_t kRecordHeaderSize = 24;
constexpr size_t kMaxGuids = 256;
constexpr uint32_t kRecordOffsetMask = 0x00FFFFFF;
// What an existing file's header is first looked at through.
constexpr size_t kFirstHeaderView = kFixedHeaderSize + kGuidSize;

// Field offsets in the header and in a record.
enum : size_t {
    kAtVersion = 4,
    kAtRecordCount = 8,
    kAtRecordsSize = 16,
    kAtLastRecordSize = 24,
    kAtRecordOffset = 28,
    kAtGuidCountMinusOne = 31,
    kAtGuids = 32,
};
enum : size_t { kAtDataSize = 4, kAtCode = 8, kAtTimestamp = 16 };

template <typename T>
T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T>
void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

struct Header {
    uint64_t recordCount = 0;
    uint64_t recordsSize = 0;
    uint32_t lastRecordSize = 0;
    uint32_t recordOffset = 0;
    size_t guidCount = 0;

    uint64_t end() const { return recordOffset + recordsSize; }
};

inline size_t headerSize(size_t guidCount) { return kFixedHeaderSize + kGuidSize * guidCount; }

// The header bytes a validation needs to see, from the first 32 bytes: the
// GUIDs, and an auxiliary block's own header when the record offset leaves
// room for one.
size_t headerExtent(const uint8_t* fixed);

// The header of a file of `fileSize` bytes whose first bytes are `bytes` (at
// least headerExtent of them, else invalid): signature and version right,
// GUIDs, auxiliary block and records inside the file, no sum overflowing.
// Nothing when any of that fails.
std::optional<Header> parseHeader(std::span<const uint8_t> bytes, uint64_t fileSize);

// The i-th class GUID of a header that parseHeader accepted.
inline vek::Guid classGuid(std::span<const uint8_t> bytes, size_t i) {
    return load<vek::Guid>(bytes.data() + kAtGuids + kGuidSize * i);
}
bool hasAllGuids(std::span<const uint8_t> bytes, const Header& header, std::span<const vek::Guid> wanted);

// A header with no records and these GUIDs, into headerSize(guids.size()) bytes.
void writeNewHeader(uint8_t* out, std::span<const vek::Guid> guids);
void writeRecordHeader(uint8_t* out, uint32_t dataSize, uint64_t code, uint64_t timestamp);

}  // namespace qwlog
