#pragma once
// Turns the framed host-message stream into log records: reassembles messages
// across writes in any split, skips bytes before a message's kind byte, and
// maps each known message code to one record (status codes only when their
// value changes).
//
// At most one partial message is held (4 + 65535 bytes); complete messages are
// converted straight from the caller's bytes. Not thread-safe: its transport's
// single writer (under the message lock) is its only user.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

using ByteSpan = std::span<const uint8_t>;

// Where the records go. A record's data may come in two parts (the end of the
// held partial message, then the new bytes); either may be empty.
class QwlogRecordSink {
public:
    virtual ~QwlogRecordSink() = default;
    // False with the last error set when the record could not be written.
    virtual bool writeRecord(uint64_t code, ByteSpan first, ByteSpan second) = 0;
};

// Record codes.
enum QwlogRecordCode : uint64_t {
    kRecordTextError = 0x01D47FF1FC334A16,  // also the error records of code 0x20
    kRecordLine0Data = 0x61D47FF1FC334A10,
    kRecordLine1Data = 0x61D47FF1FC334A11,
    kRecordLine0Status = 0x01D47C8FC7B0F70F,
    kRecordLine1Status = 0x01D47C8FC7B0F70B,  // also the serial port's modem lines
    kRecordLineErrors = 0x01D47C8FC7B0F710,
};

class QwlogConverter {
public:
    static constexpr size_t kMaxPartial = 4 + 0xFFFF;

    explicit QwlogConverter(QwlogRecordSink& sink);

    // Forgets the partial message and the remembered status values.
    void reset();
    // Converts every message completed by these bytes and keeps the rest of an
    // incomplete one. False when a record could not be written: the bytes after
    // that message are dropped (the writer stops at a failed write, so the next
    // call begins a new message).
    bool convert(ByteSpan bytes);
    size_t partialSize() const { return partial_.size(); }

private:
    bool convertMessage(uint8_t code, ByteSpan first, ByteSpan second);
    bool statusChange(uint64_t record, uint32_t& last, ByteSpan first, ByteSpan second);
    bool textError(ByteSpan first, ByteSpan second);
    // Completes the held message from the front of `bytes`; false on a failed record.
    bool completePartial(ByteSpan& bytes);

    QwlogRecordSink& sink_;
    std::vector<uint8_t> partial_;  // empty, or a message's first bytes starting with its kind byte
    uint32_t lastLine0Status_ = 0;  // code 4
    uint32_t lastLine1Status_ = 0;  // codes 5 and 0x22
};
