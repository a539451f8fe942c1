#include "transport/QwlogConverter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "foundation/Error.h"

namespace {

// The framing of the host-message stream: {kind 2, code, u16 size}, payload.
constexpr uint8_t kMessageKind = 2;
constexpr size_t kMessageHeaderSize = 4;

enum MessageCode : uint8_t {
    kMsgTextError = 0x01,
    kMsgLine0Status = 0x04,
    kMsgLine1Status = 0x05,
    kMsgErrorRecord = 0x20,
    kMsgLineErrors = 0x21,
    kMsgModemLines = 0x22,
};

// Messages recorded with their payload as it stands; 0 = no record.
constexpr std::array<uint64_t, 256> payloadRecords() {
    std::array<uint64_t, 256> r{};
    r[0x02] = kRecordLine0Data;
    r[0x03] = kRecordLine1Data;
    r[0x07] = 0x01D487BB6423B806;  // I2C/SPI: device marker
    r[0x08] = 0x01D487BB6423B804;  // decoder value pair
    r[0x09] = 0x01D487BB6423B805;  // event flags
    r[0x0A] = 0x01D487BB6423B80F;  // I2C: START
    r[0x0B] = 0x01D487BB6423B810;  // 7-bit address
    r[0x0C] = 0x01D487BB6423B811;  // 10-bit address
    r[0x0D] = 0x01D487BB6423B812;  // STOP
    r[0x0E] = 0x01D487BB6423B813;  // STOP off a byte boundary
    r[0x0F] = 0x01D487BB6423B814;  // data, acknowledge bit 0
    r[0x10] = 0x01D487BB6423B815;
    r[0x14] = 0x01D487BB6423B816;  // SPI: frame events
    r[0x15] = 0x01D487BB6423B817;
    r[0x16] = 0x61D47FF1FC334A12;  // SPI data
    r[0x1B] = 0x81D4CDAFA0ABB0E7;  // Ethernet frame records
    r[0x1C] = 0x81D4CDAFA0ABB0E8;
    r[kMsgErrorRecord] = kRecordTextError;
    return r;
}
constexpr std::array<uint64_t, 256> kPayloadRecords = payloadRecords();

// The first `n` payload bytes, which may straddle the two parts.
void gather(ByteSpan first, ByteSpan second, uint8_t* out, size_t n) {
    size_t a = std::min(n, first.size());
    if (a > 0) std::memcpy(out, first.data(), a);
    if (n > a) std::memcpy(out + a, second.data(), n - a);
}

}  // namespace

QwlogConverter::QwlogConverter(QwlogRecordSink& sink) : sink_(sink) { partial_.reserve(kMaxPartial); }

void QwlogConverter::reset() {
    partial_.clear();
    lastLine0Status_ = 0;
    lastLine1Status_ = 0;
}

bool QwlogConverter::convert(ByteSpan bytes) {
    if (!partial_.empty()) {
        if (!completePartial(bytes)) return false;
        if (!partial_.empty()) return true;  // still incomplete: every byte went into it
    }
    while (!bytes.empty()) {
        if (bytes[0] != kMessageKind) {
            auto kind = static_cast<const uint8_t*>(std::memchr(bytes.data(), kMessageKind, bytes.size()));
            if (!kind) return true;
            bytes = bytes.subspan(static_cast<size_t>(kind - bytes.data()));
        }
        if (bytes.size() < kMessageHeaderSize) break;
        size_t total = kMessageHeaderSize + (bytes[2] | bytes[3] << 8);
        if (bytes.size() < total) break;
        if (!convertMessage(bytes[1], bytes.subspan(kMessageHeaderSize, total - kMessageHeaderSize), {}))
            return false;
        bytes = bytes.subspan(total);
    }
    partial_.assign(bytes.begin(), bytes.end());
    return true;
}

bool QwlogConverter::completePartial(ByteSpan& bytes) {
    if (partial_.size() < kMessageHeaderSize) {
        size_t take = std::min(kMessageHeaderSize - partial_.size(), bytes.size());
        partial_.insert(partial_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(take));
        bytes = bytes.subspan(take);
        if (partial_.size() < kMessageHeaderSize) return true;
    }
    size_t need = kMessageHeaderSize + (partial_[2] | partial_[3] << 8) - partial_.size();
    if (bytes.size() < need) {
        partial_.insert(partial_.end(), bytes.begin(), bytes.end());
        bytes = {};
        return true;
    }
    bool ok = convertMessage(partial_[1], ByteSpan(partial_).subspan(kMessageHeaderSize), bytes.first(need));
    partial_.clear();
    bytes = ok ? bytes.subspan(need) : ByteSpan();
    return ok;
}

bool QwlogConverter::convertMessage(uint8_t code, ByteSpan first, ByteSpan second) {
    switch (code) {
        case kMsgTextError:
            return textError(first, second);
        case kMsgLine0Status:
            return statusChange(kRecordLine0Status, lastLine0Status_, first, second);
        case kMsgLine1Status:
        case kMsgModemLines:
            return statusChange(kRecordLine1Status, lastLine1Status_, first, second);
        case kMsgLineErrors: {
            // A payload too short for its u32 carries nothing to record.
            uint8_t value[4];
            if (first.size() + second.size() < sizeof value) return true;
            gather(first, second, value, sizeof value);
            return sink_.writeRecord(kRecordLineErrors, ByteSpan(value), {});
        }
        default:
            return kPayloadRecords[code] == 0 || sink_.writeRecord(kPayloadRecords[code], first, second);
    }
}

bool QwlogConverter::statusChange(uint64_t record, uint32_t& last, ByteSpan first, ByteSpan second) {
    uint32_t value;
    if (first.size() + second.size() < sizeof value) return true;
    gather(first, second, reinterpret_cast<uint8_t*>(&value), sizeof value);
    if (value == last) return true;
    uint32_t data[2] = {value, value ^ last};
    if (!sink_.writeRecord(record, ByteSpan(reinterpret_cast<const uint8_t*>(data), sizeof data), {})) return false;
    last = value;
    return true;
}

bool QwlogConverter::textError(ByteSpan first, ByteSpan second) {
    std::string text(first.begin(), first.end());
    text.append(second.begin(), second.end());
    text.resize(std::min(text.size(), text.find('\0')));
    vek::err::Error record = vek::err::Error::fromText(text);
    vek::err::ErrorRef ref = record.ref();
    return sink_.writeRecord(kRecordTextError, ByteSpan(ref.data(), ref.size()), {});
}
