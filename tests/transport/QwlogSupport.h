#pragma once
// Helpers of the *.qwlog tests: a ticking clock, record values, and a whole
// log file read back through QwlogReader.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/Guid.h"
#include "support/MemoryTransport.h"
#include "support/TempDir.h"
#include "transport/QwlogReader.h"

namespace qwlog_test {

using Bytes = std::vector<uint8_t>;

// The serial port's class and two others.
inline constexpr vek::Guid kSerialGuid{0x29725452, 0xE64F, 0x4C0E, {0xA8, 0x71, 0x77, 0x62, 0x77, 0xB6, 0x85, 0x72}};
inline constexpr vek::Guid kOtherGuid{0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 5, 5, 5, 5}};
inline constexpr vek::Guid kThirdGuid{0xAAAAAAAA, 0xBBBB, 0xCCCC, {1, 2, 3, 4, 5, 6, 7, 8}};

// Each reading one tick later, so timestamps show the order of the records.
inline uint64_t clockNow = 0;
inline uint64_t tick() { return ++clockNow; }

inline Bytes le(uint64_t v, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}
inline Bytes u32(uint32_t v) { return le(v, 4); }
inline Bytes guidBytes(const vek::Guid& g) {
    Bytes b(sizeof g);
    std::memcpy(b.data(), &g, sizeof g);
    return b;
}

struct Rec {
    uint64_t code;
    Bytes data;
    bool operator==(const Rec&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Rec& r) {
    return os << std::hex << r.code << std::dec << "/" << r.data.size() << " bytes";
}

struct Log {
    Bytes bytes;
    bool valid = false;
    qwlog::Header header;
    std::vector<vek::Guid> guids;
    std::vector<Rec> records;
    std::vector<uint64_t> timestamps;
    bool malformed = false;
};

inline Log readLog(const std::string& path) {
    Log log;
    log.bytes = readFileBytes(path);
    QwlogReader reader(log.bytes);
    log.valid = reader.valid();
    if (!log.valid) return log;
    log.header = reader.header();
    log.guids = reader.classGuids();
    for (const QwlogRecord& r : reader.records()) {
        log.records.push_back({r.code, Bytes(r.data.begin(), r.data.end())});
        log.timestamps.push_back(r.timestamp);
    }
    log.malformed = reader.malformed();
    return log;
}

}  // namespace qwlog_test
