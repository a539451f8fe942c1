#include "transport/QwlogFormat.h"

namespace qwlog {

namespace {

size_t guidCountOf(const uint8_t* fixed) { return size_t{fixed[kAtGuidCountMinusOne]} + 1; }
uint32_t recordOffsetOf(const uint8_t* fixed) { return load<uint32_t>(fixed + kAtRecordOffset) & kRecordOffsetMask; }

// A record offset beyond the GUIDs by more than an auxiliary block's header
// means there is one.
bool hasAuxBlock(uint32_t recordOffset, size_t guidEnd) { return recordOffset > guidEnd + kAuxHeaderSize; }

}  // namespace

size_t headerExtent(const uint8_t* fixed) {
    size_t guidEnd = headerSize(guidCountOf(fixed));
    return hasAuxBlock(recordOffsetOf(fixed), guidEnd) ? guidEnd + kAuxHeaderSize : guidEnd;
}

std::optional<Header> parseHeader(std::span<const uint8_t> bytes, uint64_t fileSize) {
    if (bytes.size() < kFixedHeaderSize || fileSize < kFixedHeaderSize) return std::nullopt;
    const uint8_t* p = bytes.data();
    if (std::memcmp(p, kSignature, sizeof kSignature) != 0 || load<uint32_t>(p + kAtVersion) != kVersion)
        return std::nullopt;
    Header h;
    h.recordCount = load<uint64_t>(p + kAtRecordCount);
    h.recordsSize = load<uint64_t>(p + kAtRecordsSize);
    h.lastRecordSize = load<uint32_t>(p + kAtLastRecordSize);
    h.recordOffset = recordOffsetOf(p);
    h.guidCount = guidCountOf(p);
    const size_t guidEnd = headerSize(h.guidCount);
    if (bytes.size() < headerExtent(p)) return std::nullopt;
    // Offsets are at most 2^24, so only the records' size can overflow a sum.
    if (h.recordOffset < guidEnd || h.recordOffset > fileSize || h.recordsSize > fileSize - h.recordOffset)
        return std::nullopt;
    if (hasAuxBlock(h.recordOffset, guidEnd)) {
        const uint8_t* aux = p + guidEnd;
        uint32_t auxSize = load<uint32_t>(aux + 4);
        if (std::memcmp(aux, kAuxSignature, sizeof kAuxSignature) != 0 || auxSize < kAuxHeaderSize ||
            auxSize > h.recordOffset - guidEnd)
            return std::nullopt;
    }
    return h;
}

bool hasAllGuids(std::span<const uint8_t> bytes, const Header& header, std::span<const vek::Guid> wanted) {
    for (const vek::Guid& g : wanted) {
        bool found = false;
        for (size_t i = 0; i < header.guidCount && !found; ++i) found = classGuid(bytes, i) == g;
        if (!found) return false;
    }
    return true;
}

void writeNewHeader(uint8_t* out, std::span<const vek::Guid> guids) {
    const size_t size = headerSize(guids.size());
    std::memcpy(out, kSignature, sizeof kSignature);
    store<uint32_t>(out + kAtVersion, kVersion);
    store<uint64_t>(out + kAtRecordCount, 0);
    store<uint64_t>(out + kAtRecordsSize, 0);
    store<uint32_t>(out + kAtLastRecordSize, 0);
    store<uint32_t>(out + kAtRecordOffset,
                    static_cast<uint32_t>(size) | static_cast<uint32_t>(guids.size() - 1) << 24);
    for (size_t i = 0; i < guids.size(); ++i) store(out + kAtGuids + kGuidSize * i, guids[i]);
}

void writeRecordHeader(uint8_t* out, uint32_t dataSize, uint64_t code, uint64_t timestamp) {
    std::memcpy(out, kRecordSignature, sizeof kRecordSignature);
    store<uint32_t>(out + kAtDataSize, dataSize);
    store<uint64_t>(out + kAtCode, code);
    store<uint64_t>(out + kAtTimestamp, timestamp);
}

}  // namespace qwlog
