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

#include <functional>
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
    // How named files become streams; a test may put a double of the file
    // stream here.
    using Opener = std::function<std::unique_ptr<vek::io::Stream>(std::string_view, vek::io::FileMode)>;

    explicit FileTransport(Opener opener = &vek::io::openFile) : opener_(std::move(opener)) {}
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
    // Each call is one message, or its rest after a short write: a split
    // output moves to its next file only after a call that took every byte
    // asked (or failed, giving the message up), never inside a message. When
    // the splitter asks for a new file, it is opened here; if that fails, this
    // write fails although its bytes reached the old file, and so do later
    // writes.
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
    // After a write of `asked` bytes that took `n`: the next file of a split
    // output when due, decided only once a whole write call (a message) has
    // gone out or been given up, so that no message straddles two files.
    size_t afterWrite(size_t asked, size_t n);
    // Counts a finished message's bytes and opens the next file when the
    // splitter asks for it. False with the last error set.
    bool nextFileIfDue(uint64_t written);
    // The preamble into a file just opened. False with the last error set.
    bool writePreamble();

    Opener opener_ = &vek::io::openFile;
    OutputFileSplitter splitter_;
    std::unique_ptr<vek::io::Stream> stream_;
    std::string name_;  // for the console, e.g. output file "x", standard input
    std::vector<uint8_t> preamble_;
    // Bytes of the message under way taken by earlier short writes.
    uint64_t unfinished_ = 0;
};
