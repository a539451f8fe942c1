#include "transport/FileTransport.h"

#include <chrono>
#include <thread>

FileTransport::~FileTransport() { close(); }

void FileTransport::release() {
    close();
    stream_.reset();
}

bool FileTransport::adopt(std::unique_ptr<vek::io::Stream> stream) {
    stream_ = std::move(stream);
    return stream_ != nullptr;
}

bool FileTransport::open(std::string_view name, vek::io::FileMode mode) {
    // The old file goes first: Windows share modes may refuse a second handle.
    release();
    return adopt(vek::io::openFile(name, mode));
}

bool FileTransport::openSplitOutput(std::string_view name, uint64_t sizeLimit, uint64_t timeLimit,
                                    vek::sys::Clock clock) {
    splitter_ = OutputFileSplitter(clock);
    splitter_.init(sizeLimit, timeLimit, name);
    return open(splitter_.fileName(), vek::io::FileMode::kOutputReadWrite);
}

bool FileTransport::attachStd(vek::io::StdStream which) {
    release();
    return adopt(vek::io::duplicateStd(which));
}

void FileTransport::close() {
    if (stream_) stream_->close();
}

size_t FileTransport::read(void* buffer, size_t size) {
    if (!stream_) return vek::io::failClosed();
    return stream_->read(buffer, size);
}

size_t FileTransport::write(const void* buffer, size_t size) {
    if (!stream_) return vek::io::failClosed();
    return afterWrite(stream_->write(buffer, size));
}

size_t FileTransport::writeParts(const ConstBytes* parts, size_t count) {
    if (!stream_) return vek::io::failClosed();
    return afterWrite(stream_->writeParts(parts, count));
}

size_t FileTransport::afterWrite(size_t n) {
    if (n == kIoFailed) return kIoFailed;
    if (splitter_.onWritten(n) && !open(splitter_.fileName(), vek::io::FileMode::kOutputReadWrite)) return kIoFailed;
    return n;
}

bool FileTransport::wait() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
}
