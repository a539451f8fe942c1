#include "transport/QwlogReader.h"

#include <cstring>

using qwlog::load;

QwlogReader::QwlogReader(std::span<const uint8_t> file) : file_(file) {
    header_ = qwlog::parseHeader(file, file.size());
    if (header_) at_ = header_->recordOffset;
}

std::vector<vek::Guid> QwlogReader::classGuids() const {
    std::vector<vek::Guid> guids;
    for (size_t i = 0; header_ && i < header_->guidCount; ++i) guids.push_back(qwlog::classGuid(file_, i));
    return guids;
}

bool QwlogReader::next(QwlogRecord& record) {
    if (!header_ || malformed_) return false;
    // parseHeader has checked that end() lies inside the file.
    const uint64_t end = header_->end();
    if (at_ >= end) return false;
    const uint8_t* p = file_.data() + at_;
    if (end - at_ < qwlog::kRecordHeaderSize ||
        std::memcmp(p, qwlog::kRecordSignature, sizeof qwlog::kRecordSignature) != 0) {
        malformed_ = true;
        return false;
    }
    const uint32_t dataSize = load<uint32_t>(p + qwlog::kAtDataSize);
    if (dataSize > end - at_ - qwlog::kRecordHeaderSize) {
        malformed_ = true;
        return false;
    }
    record.code = load<uint64_t>(p + qwlog::kAtCode);
    record.timestamp = load<uint64_t>(p + qwlog::kAtTimestamp);
    record.data = file_.subspan(static_cast<size_t>(at_) + qwlog::kRecordHeaderSize, dataSize);
    at_ += qwlog::kRecordHeaderSize + dataSize;
    return true;
}

std::vector<QwlogRecord> QwlogReader::records() {
    std::vector<QwlogRecord> all;
    if (header_) at_ = header_->recordOffset;
    malformed_ = false;
    for (QwlogRecord r; next(r);) all.push_back(r);
    return all;
}
