#pragma once
// Finds framed messages ({2, code, u16 size}, payload) in a byte stream fed in
// pieces of any size, as the command loop does: bytes before a kind byte 2 are
// skipped and reported, so a damaged stream resynchronises on the next message.
// Holds at most one partial message.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

class FrameScanner {
public:
    struct Events {
        std::function<void(uint64_t offset, uint8_t code, std::span<const uint8_t> payload)> message;
        std::function<void(uint64_t offset, uint64_t count)> skipped;
        // A message header whose payload never came whole: `have` of `want` bytes.
        std::function<void(uint64_t offset, size_t have, size_t want)> cutShort;
    };

    explicit FrameScanner(Events events) : events_(std::move(events)) {}

    void feed(std::span<const uint8_t> bytes);
    // The end of the stream: a message left incomplete is reported cut short,
    // and the bytes after its kind byte are scanned again, so that one false
    // header cannot hide the messages behind it.
    void finish();
    // Starts over at offset 0 (the next file of a series).
    void restart();

private:
    void flushSkipped();

    Events events_;
    std::vector<uint8_t> pending_;
    uint64_t pendingOffset_ = 0;  // stream offset of pending_[0]
    uint64_t skipStart_ = 0;
    uint64_t skipCount_ = 0;
};
