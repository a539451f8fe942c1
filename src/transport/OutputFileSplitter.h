#pragma once
// Cuts a raw output (or a *.qwlog file) into a numbered series of files by size
// and by time: capture.log gives capture-00.log, capture-01.log, ...
//
// The owning transport calls init once when it opens the output, then
// onWritten after every whole message (record) it has written; true means the
// next message belongs in fileName(), which the transport opens (creating or
// truncating it). The check follows the message, so a file may pass the size
// limit by up to one message. Not thread-safe: the transport's single writer
// (under the message lock) is its only user.

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/Time.h"

constexpr uint64_t kNoSplit = ~uint64_t{0};

class OutputFileSplitter {
public:
    explicit OutputFileSplitter(vek::sys::Clock clock = &vek::sys::systemTime) : clock_(clock) {}

    // Limits in bytes and in 100-ns units; kNoSplit for none. Without either
    // limit the name is used as given and no split ever happens; otherwise the
    // first file of the series begins.
    void init(uint64_t sizeLimit, uint64_t timeLimit, std::string_view outputFileName);
    // Starts the current index's file: resets the byte count and the deadline.
    void beginFile();
    // Counts `size` written bytes; true when a new file must begin (index has
    // moved on and fileName() names it).
    bool onWritten(uint64_t size);

    bool enabled() const { return sizeLimit_ != kNoSplit || timeLimit_ != kNoSplit; }
    const std::string& fileName() const { return fileName_; }
    uint64_t index() const { return index_; }

    // Position of the first dot of the last path component's chain of
    // suffixes ("a/b.tar.gz" -> 3), or npos when there is none.
    static size_t findExtension(std::string_view name);

private:
    vek::sys::Clock clock_;
    uint64_t sizeLimit_ = kNoSplit;
    uint64_t timeLimit_ = kNoSplit;
    std::string baseName_;
    std::string extension_;
    std::string fileName_;
    uint64_t index_ = 0;
    uint64_t written_ = 0;
    uint64_t deadline_ = kNoSplit;  // system time at which the current file ends
};
