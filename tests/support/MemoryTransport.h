#pragma once
// An in-memory transport for tests: reads come from chunks the test supplies
// (blocking until one arrives, the input ends or the transport is closed), writes
// are collected. Thread-safe, so capture threads may write while a test reads.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Error.h"
#include "transport/TransportBase.h"

class MemoryTransport : public TransportBase {
public:
    // Input side: one read returns at most one chunk; after endInput reads return
    // 0 once the chunks run out; failNextRead makes the next read fail.
    void pushInput(std::vector<uint8_t> chunk) { change([&] { input_.push_back(std::move(chunk)); }); }
    void endInput() { change([&] { inputEnded_ = true; }); }
    void failNextRead(uint32_t winError) { change([&] { readFailure_ = winError; }); }

    // Output side: at most maxPerWrite bytes a write (0: all); a write that would
    // take the output past `bytes` fails with error 232.
    void limitWrites(size_t maxPerWrite) { change([&] { maxPerWrite_ = maxPerWrite; }); }
    void failWritesAfter(size_t bytes) { change([&] { failAfter_ = bytes; }); }
    std::vector<uint8_t> output() const { return get(output_); }
    size_t writeCalls() const { return get(writeCalls_); }
    size_t waitCalls() const { return get(waitCalls_); }
    bool closed() const { return get(closed_); }
    // Blocks until at least n output bytes are there (false after the limit).
    bool waitForOutput(size_t n, int timeoutMs = 5000) const {
        std::unique_lock<std::mutex> hold(mutex_);
        return cv_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return output_.size() >= n; });
    }

    void close() override { change([&] { closed_ = true; }); }
    bool wait() override { return change([&] { ++waitCalls_; }), true; }
    size_t read(void* buffer, size_t size) override {
        std::unique_lock<std::mutex> hold(mutex_);
        cv_.wait(hold, [&] { return closed_ || readFailure_ || !input_.empty() || inputEnded_; });
        if (readFailure_) return vek::err::setWinError(std::exchange(readFailure_, 0)), kIoFailed;
        if (input_.empty()) return 0;  // ended or closed
        std::vector<uint8_t>& front = input_.front();
        size_t n = std::min(size, front.size());
        std::memcpy(buffer, front.data(), n);
        front.erase(front.begin(), front.begin() + static_cast<ptrdiff_t>(n));
        if (front.empty()) input_.pop_front();
        return n;
    }
    size_t write(const void* buffer, size_t size) override {
        std::lock_guard<std::mutex> hold(mutex_);
        ++writeCalls_;
        size_t n = maxPerWrite_ ? std::min(size, maxPerWrite_) : size;
        if (output_.size() + n > failAfter_ || closed_) return vek::err::setWinError(232), kIoFailed;
        output_.insert(output_.end(), static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + n);
        cv_.notify_all();
        return n;
    }

private:
    template <typename F>
    void change(F f) {
        std::lock_guard<std::mutex> hold(mutex_);
        f();
        cv_.notify_all();
    }
    template <typename T>
    T get(const T& field) const {
        std::lock_guard<std::mutex> hold(mutex_);
        return field;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::deque<std::vector<uint8_t>> input_;
    bool inputEnded_ = false, closed_ = false;
    uint32_t readFailure_ = 0;
    size_t maxPerWrite_ = 0, failAfter_ = ~size_t{0}, writeCalls_ = 0, waitCalls_ = 0;
    std::vector<uint8_t> output_;
};

using Bytes = std::vector<uint8_t>;

// One framed message as seen by the host.
struct HostMessage {
    uint8_t kind, code;
    std::vector<uint8_t> payload;
};

// Splits a byte stream into messages; a trailing partial message is reported in
// `rest` (when given) and otherwise ignored.
inline std::vector<HostMessage> parseMessages(const std::vector<uint8_t>& bytes, size_t* rest = nullptr) {
    std::vector<HostMessage> out;
    size_t pos = 0;
    for (size_t n; bytes.size() - pos >= 4 && bytes.size() - pos - 4 >= (n = bytes[pos + 2] | bytes[pos + 3] << 8);
         pos += 4 + n)
        out.push_back({bytes[pos], bytes[pos + 1],
                       {bytes.begin() + ptrdiff_t(pos + 4), bytes.begin() + ptrdiff_t(pos + 4 + n)}});
    if (rest) *rest = bytes.size() - pos;
    return out;
}

// The payloads of the messages of `code`, joined.
inline std::vector<uint8_t> joinedPayloads(const std::vector<HostMessage>& messages, uint8_t code) {
    std::vector<uint8_t> all;
    for (const HostMessage& m : messages)
        if (m.code == code) all.insert(all.end(), m.payload.begin(), m.payload.end());
    return all;
}

// n bytes counting up from `first`.
inline std::vector<uint8_t> counting(size_t n, uint8_t first = 0) {
    std::vector<uint8_t> b(n);
    std::iota(b.begin(), b.end(), first);
    return b;
}

// A 32-bit value as messages carry it: little-endian.
inline std::vector<uint8_t> le32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

inline std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A complete command as the host sends it.
inline std::vector<uint8_t> frame(uint8_t code, const std::vector<uint8_t>& payload = {}) {
    // Sized once and copied into: GCC 12 warns falsely about inserting into a fresh
    // four-byte vector.
    std::vector<uint8_t> out(4 + payload.size());
    out[0] = 2;
    out[1] = code;
    out[2] = uint8_t(payload.size());
    out[3] = uint8_t(payload.size() >> 8);
    if (!payload.empty()) std::memcpy(out.data() + 4, payload.data(), payload.size());
    return out;
}

// Error records' bytes: the calling thread's last error, or a fresh one of a code.
inline std::vector<uint8_t> lastErrorRecord() {
    vek::err::ErrorRef record = vek::err::getLastError();
    return std::vector<uint8_t>(record.data(), record.data() + record.size());
}
inline std::vector<uint8_t> errorRecordOf(const vek::Guid& domain, int code) {
    vek::err::Error e = vek::err::Error::fromCode(domain, static_cast<uint32_t>(code));
    return std::vector<uint8_t>(e.ref().data(), e.ref().data() + e.ref().size());
}
// The calling thread's last error record as the host gets it in a message.
inline std::vector<uint8_t> lastErrorMessage() { return frame(0x20, lastErrorRecord()); }
