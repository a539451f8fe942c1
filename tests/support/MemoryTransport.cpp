#include "support/MemoryTransport.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "foundation/Error.h"

void MemoryTransport::pushInput(std::vector<uint8_t> chunk) {
    std::lock_guard<std::mutex> hold(mutex_);
    input_.push_back(std::move(chunk));
    cv_.notify_all();
}

void MemoryTransport::endInput() {
    std::lock_guard<std::mutex> hold(mutex_);
    inputEnded_ = true;
    cv_.notify_all();
}

void MemoryTransport::failNextRead(uint32_t winError) {
    std::lock_guard<std::mutex> hold(mutex_);
    readFailure_ = winError;
    cv_.notify_all();
}

void MemoryTransport::failWritesAfter(size_t bytes) {
    std::lock_guard<std::mutex> hold(mutex_);
    failAfter_ = bytes;
}

std::vector<uint8_t> MemoryTransport::output() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return output_;
}

size_t MemoryTransport::writeCalls() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return writeCalls_;
}

size_t MemoryTransport::waitCalls() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return waitCalls_;
}

bool MemoryTransport::closed() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return closed_;
}

bool MemoryTransport::waitForOutput(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> hold(mutex_);
    return cv_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return output_.size() >= n; });
}

void MemoryTransport::close() {
    std::lock_guard<std::mutex> hold(mutex_);
    closed_ = true;
    cv_.notify_all();
}

size_t MemoryTransport::read(void* buffer, size_t size) {
    std::unique_lock<std::mutex> hold(mutex_);
    cv_.wait(hold, [&] { return closed_ || readFailure_ || !input_.empty() || inputEnded_; });
    if (readFailure_) {
        vek::err::setWinError(readFailure_);
        readFailure_ = 0;
        return kIoFailed;
    }
    if (input_.empty()) return 0;  // ended or closed
    std::vector<uint8_t>& front = input_.front();
    size_t n = std::min(size, front.size());
    std::memcpy(buffer, front.data(), n);
    if (n == front.size())
        input_.pop_front();
    else
        front.erase(front.begin(), front.begin() + static_cast<ptrdiff_t>(n));
    return n;
}

size_t MemoryTransport::write(const void* buffer, size_t size) {
    std::lock_guard<std::mutex> hold(mutex_);
    ++writeCalls_;
    if (output_.size() + size > failAfter_ || closed_) {
        vek::err::setWinError(232);  // the pipe is being closed
        return kIoFailed;
    }
    size_t n = maxPerWrite_ ? std::min(size, maxPerWrite_) : size;
    auto p = static_cast<const uint8_t*>(buffer);
    output_.insert(output_.end(), p, p + n);
    cv_.notify_all();
    return n;
}

bool MemoryTransport::wait() {
    std::lock_guard<std::mutex> hold(mutex_);
    ++waitCalls_;
    return true;
}

std::vector<HostMessage> parseMessages(const std::vector<uint8_t>& bytes, size_t* rest) {
    std::vector<HostMessage> out;
    size_t pos = 0;
    while (bytes.size() - pos >= 4) {
        size_t n = bytes[pos + 2] | (bytes[pos + 3] << 8);
        if (bytes.size() - pos - 4 < n) break;
        out.push_back({bytes[pos], bytes[pos + 1],
                       std::vector<uint8_t>(bytes.begin() + static_cast<ptrdiff_t>(pos + 4),
                                            bytes.begin() + static_cast<ptrdiff_t>(pos + 4 + n))});
        pos += 4 + n;
    }
    if (rest) *rest = bytes.size() - pos;
    return out;
}

std::vector<uint8_t> frame(uint8_t code, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out(4 + payload.size());
    out[0] = 2;
    out[1] = code;
    out[2] = static_cast<uint8_t>(payload.size());
    out[3] = static_cast<uint8_t>(payload.size() >> 8);
    if (!payload.empty()) std::memcpy(out.data() + 4, payload.data(), payload.size());
    return out;
}
