#pragma once
// An in-memory transport for tests: reads come from chunks the test supplies
// (blocking until one arrives, the input ends or the transport is closed), writes
// are collected. Thread-safe, so capture threads may write while a test reads.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "transport/TransportBase.h"

class MemoryTransport : public TransportBase {
public:
    // Input side.
    void pushInput(std::vector<uint8_t> chunk);  // one read returns at most this chunk
    void endInput();                             // later reads return 0 once chunks run out
    void failNextRead(uint32_t winError);        // the next read fails with this error

    // Output side.
    void limitWrites(size_t maxPerWrite) { maxPerWrite_ = maxPerWrite; }  // 0 = take all
    void failWritesAfter(size_t bytes);                                   // later writes fail (error 232)
    std::vector<uint8_t> output() const;
    size_t writeCalls() const;
    size_t waitCalls() const;
    bool closed() const;
    // Blocks until at least n output bytes are there (false after the limit).
    bool waitForOutput(size_t n, int timeoutMs = 5000) const;

    void close() override;
    size_t read(void* buffer, size_t size) override;
    size_t write(const void* buffer, size_t size) override;
    bool wait() override;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::deque<std::vector<uint8_t>> input_;
    bool inputEnded_ = false;
    bool closed_ = false;
    uint32_t readFailure_ = 0;
    size_t maxPerWrite_ = 0;
    size_t failAfter_ = ~size_t{0};
    std::vector<uint8_t> output_;
    size_t writeCalls_ = 0;
    size_t waitCalls_ = 0;
};

// One framed message as seen by the host.
struct HostMessage {
    uint8_t kind;
    uint8_t code;
    std::vector<uint8_t> payload;
};

// Splits a byte stream into messages; a trailing partial message is reported in
// `rest` (when given) and otherwise ignored.
std::vector<HostMessage> parseMessages(const std::vector<uint8_t>& bytes, size_t* rest = nullptr);

// A complete command as the host sends it.
std::vector<uint8_t> frame(uint8_t code, const std::vector<uint8_t>& payload = {});
