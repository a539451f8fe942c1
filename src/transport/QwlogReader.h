#pragma once
// Reads a *.qwlog file held in memory: its header, class GUIDs and records.
// Every read is bounds-checked against the bytes given; the records are those
// the header counts (recordOffset up to recordOffset + recordsSize), so the
// zero bytes a writer's growth leaves after them are not read as records.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "foundation/Guid.h"
#include "transport/QwlogFormat.h"

struct QwlogRecord {
    uint64_t code = 0;
    uint64_t timestamp = 0;  // FILETIME
    std::span<const uint8_t> data;
};

class QwlogReader {
public:
    // The whole file; the bytes must outlive the reader and its records.
    explicit QwlogReader(std::span<const uint8_t> file);

    // The header passed validation (nothing else is readable otherwise).
    bool valid() const { return header_.has_value(); }
    const qwlog::Header& header() const { return *header_; }
    std::vector<vek::Guid> classGuids() const;

    // The next record; false at the end of the records or at a malformed one
    // (bad signature, data past the end), which malformed() then tells.
    bool next(QwlogRecord& record);
    bool malformed() const { return malformed_; }
    // All records from the first; stops like next.
    std::vector<QwlogRecord> records();

private:
    std::span<const uint8_t> file_;
    std::optional<qwlog::Header> header_;
    uint64_t at_ = 0;
    bool malformed_ = false;
};
