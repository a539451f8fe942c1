#pragma once
// The *.qwlog writer: an output transport that takes the same framed message
// stream as every other output and appends one timestamped log record per
// known message to a memory-mapped log file (QwlogFormat.h), optionally split
// into a numbered series that each begin with their own header.
//
// Opening keeps a valid file whose header names every class GUID asked for
// and appends after its records; anything else is replaced by a fresh header.
// A record's bytes are all written before the header counts it, so a failed
// write (a full disk) leaves every earlier record readable.
//
// Threads: open before the transport is shared; write from the one writer
// that holds the message lock; close takes that lock, so it never unmaps a
// view under a write. Reading and waiting are not supported.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Guid.h"
#include "foundation/MappedFile.h"
#include "foundation/Time.h"
#include "transport/OutputFileSplitter.h"
#include "transport/QwlogConverter.h"
#include "transport/TransportBase.h"

class QwlogTransport final : public TransportBase, private QwlogRecordSink {
public:
    // The clock stamps the records and times the split series.
    explicit QwlogTransport(vek::sys::Clock clock = &vek::sys::systemTime);
    ~QwlogTransport() override;

    // The first file of the series for `name` (kNoSplit limits for none), with
    // the controller's class GUIDs (at most 256). False with the last error set;
    // an invalid file with no GUIDs to write a header with is "'<name>' is not a
    // valid log record file".
    bool open(std::string_view name, uint64_t sizeLimit, uint64_t timeLimit, std::span<const vek::Guid> classGuids);

    // Writes everything back to disk, then unmaps and closes the file as it
    // stands (longer than its records by the mapping's growth; readers go by
    // the header). May be called again.
    void close() override;
    // Not supported: Windows error 120.
    size_t read(void* buffer, size_t size) override;
    // Converts the messages these bytes complete. kIoFailed with the system's
    // error when a record or the next file of the series could not be written.
    size_t write(const void* buffer, size_t size) override;
    // Not supported: Windows error 120, false.
    bool wait() override;

    // The file written now.
    const std::string& fileName() const { return splitter_.fileName(); }

private:
    enum class Existing { kKept, kReplace, kFailed };

    bool openLogFile(const std::string& name);
    // Validates the header of a file that was `fileSize` bytes long when opened.
    Existing keepExisting(uint64_t fileSize);
    bool writeFreshHeader();
    uint64_t recordsEnd() const;
    // Flushes, unmaps and closes the current file; cut to its records when asked.
    bool finishFile(bool cut);
    bool writeRecord(uint64_t code, ByteSpan first, ByteSpan second) override;

    vek::sys::Clock clock_;
    OutputFileSplitter splitter_;
    vek::io::MappedFile file_;
    uint8_t* header_ = nullptr;  // the permanent header view; null while no file is open
    QwlogConverter converter_{*this};
    std::vector<vek::Guid> classGuids_;
};
