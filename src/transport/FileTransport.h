#pragma once
// A transport on a file or on a duplicate of the process's standard input or
// output, optionally splitting its output into a numbered series of files.
//
// Failures name the file for the console (error context): what it is for, and
// whether opening, reading or writing failed.
//
// Threads: see TransportBase. open, openSplitOutput and attachStd run before the
// transport is shared; close may come from any thread at any time. A splitting
// transport reopens its file inside write, so it has one writer at a time (the
// message lock) and no reader.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/File.h"
#include "foundation/Time.h"
#include "transport/OutputFileSplitter.h"
#include "transport/TransportBase.h"

class FileTransport : public TransportBase {
public:
    FileTransport() = default;
    ~FileTransport() override;

    // Opens a named file (closing what was held). False with the last error set.
    bool open(std::string_view name, vek::io::FileMode mode);
    // The first file of the output series for `name` with these limits
    // (kNoSplit for none), opened as kOutputReadWrite; later files follow in write.
    bool openSplitOutput(std::string_view name, uint64_t sizeLimit, uint64_t timeLimit,
                         vek::sys::Clock clock = &vek::sys::systemTime);
    // A duplicate of standard input or output, owned and closed by this transport.
    bool attachStd(vek::io::StdStream which);

    void close() override;
    size_t read(void* buffer, size_t size) override;
    // When the splitter asks for a new file after this write, it is opened
    // here; if that fails, this write fails although its bytes reached the old
    // file, and so do later writes.
    size_t write(const void* buffer, size_t size) override;
    // One write of the parts: a split never falls between them.
    size_t writeParts(const ConstBytes* parts, size_t count) override;
    // 100 ms.
    bool wait() override;
    // Written to each new file of the split series as it is opened; not counted
    // against the size limit.
    void setFilePreamble(ConstBytes bytes) override;

protected:
    FileTransport(std::unique_ptr<vek::io::Stream> stream, std::string name)
        : stream_(std::move(stream)), name_(std::move(name)) {}

private:
    void release();
    bool adopt(std::unique_ptr<vek::io::Stream> stream);
    // After `n` bytes went out: the next file of a split output, when due.
    size_t afterWrite(size_t n);
    // The preamble into a file just opened. False with the last error set.
    bool writePreamble();

    OutputFileSplitter splitter_;
    std::unique_ptr<vek::io::Stream> stream_;
    std::string name_;  // for the console, e.g. output file "x", standard input
    std::vector<uint8_t> preamble_;
};
