#include "transport/FileTransport.h"

#include <chrono>
#include <thread>
#include <utility>

#include "foundation/Error.h"

FileTransport::~FileTransport() { close(); }

void FileTransport::release() {
    // Not close(): moving on to another file is no close of this transport.
    if (stream_) stream_->close();
    stream_.reset();
}

bool FileTransport::adopt(std::unique_ptr<vek::io::Stream> stream) {
    stream_ = std::move(stream);
    return stream_ != nullptr;
}

namespace {

// What the program uses a file for, by the way it opens it: the console names it so.
std::string describeFile(std::string_view name, vek::io::FileMode mode) {
    std::string quoted = "\"" + std::string(name) + "\"";
    switch (mode) {
        case vek::io::FileMode::kReadWrite: return "command and output file " + quoted;
        case vek::io::FileMode::kReadExisting: return "command input file " + quoted;
        case vek::io::FileMode::kOutputReadWrite:
        case vek::io::FileMode::kOutputWriteOnly: break;
    }
    return "output file " + quoted;
}

}  // namespace

bool FileTransport::open(std::string_view name, vek::io::FileMode mode) {
    // The old file goes first: Windows share modes may refuse a second handle.
    release();
    name_ = describeFile(name, mode);
    return adopt(opener_(name, mode)) || vek::err::addErrorContext(name_);
}

bool FileTransport::openSplitOutput(std::string_view name, uint64_t sizeLimit, uint64_t timeLimit,
                                    vek::sys::Clock clock) {
    splitter_ = OutputFileSplitter(clock);
    splitter_.init(sizeLimit, timeLimit, name);
    unfinished_ = 0;
    return open(splitter_.fileName(), vek::io::FileMode::kOutputReadWrite);
}

bool FileTransport::attachStd(vek::io::StdStream which) {
    release();
    name_ = which == vek::io::StdStream::kInput ? "standard input" : "standard output";
    return adopt(vek::io::duplicateStd(which)) || vek::err::addErrorContext(name_);
}

void FileTransport::close() {
    noteClose();
    if (stream_) stream_->close();
}

size_t FileTransport::read(void* buffer, size_t size) {
    if (!stream_) return vek::io::failClosed();
    size_t n = stream_->read(buffer, size);
    if (n == kIoFailed) vek::err::addErrorContext("reading " + name_);
    if (size > 0) noteRead(n);
    return n;
}

size_t FileTransport::write(const void* buffer, size_t size) {
    if (!stream_) return vek::io::failClosed();
    return afterWrite(size, stream_->write(buffer, size));
}

size_t FileTransport::writeParts(const ConstBytes* parts, size_t count) {
    if (!stream_) return vek::io::failClosed();
    size_t asked = 0;
    for (size_t i = 0; i < count; ++i) asked += parts[i].size;
    return afterWrite(asked, stream_->writeParts(parts, count));
}

size_t FileTransport::afterWrite(size_t asked, size_t n) {
    noteWrite(n);
    if (n == kIoFailed) {
        vek::err::addErrorContext("writing " + name_);
        // The writer gives the message up here: what of it went out stays at
        // the end of this file, and the next message may begin the next one.
        nextFileIfDue(std::exchange(unfinished_, 0));
        return kIoFailed;
    }
    if (n < asked) {
        // The writer sends the rest next, and it belongs in this file too.
        unfinished_ += n;
        return n;
    }
    if (!nextFileIfDue(std::exchange(unfinished_, 0) + n)) return kIoFailed;
    return n;
}

bool FileTransport::nextFileIfDue(uint64_t written) {
    // Not once closing: no new file may appear after close.
    if (closing() || !splitter_.onWritten(written)) return true;
    if (open(splitter_.fileName(), vek::io::FileMode::kOutputReadWrite)) {
        if (writePreamble()) return true;
        // Without its whole preamble the file would not read on its own:
        // later writes fail, as after a failed open.
        release();
    }
    vek::err::setErrorContext("cannot create the next " + name_);
    return false;
}

void FileTransport::setFilePreamble(ConstBytes bytes) {
    auto p = static_cast<const uint8_t*>(bytes.data);
    preamble_.assign(p, p + bytes.size);
}

bool FileTransport::writePreamble() {
    for (size_t at = 0; at < preamble_.size();) {
        size_t n = stream_->write(preamble_.data() + at, preamble_.size() - at);
        if (n == kIoFailed) return false;
        at += n;
    }
    return true;
}

bool FileTransport::wait() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
}
