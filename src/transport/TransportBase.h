#pragma once
// A byte channel between the capture session and the host.
//
// Threads: a capture thread may write while the main thread reads commands and
// writes replies on the same object (single-file sessions, server connections).
// Whole messages are serialised with messageLock() by the message writers; the
// transport itself has no lock around read/write.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "foundation/Stream.h"

constexpr size_t kIoFailed = ~size_t{0};
using vek::io::ConstBytes;

class TransportBase {
public:
    TransportBase() = default;
    TransportBase(const TransportBase&) = delete;
    TransportBase& operator=(const TransportBase&) = delete;
    virtual ~TransportBase() = default;

    // Releases the underlying handle; may be called again, and from another
    // thread while a read is blocked, which then returns (end of input or failure).
    virtual void close() = 0;
    // At most size bytes; 0 at end of input; kIoFailed with the last error set.
    virtual size_t read(void* buffer, size_t size) = 0;
    // Bytes taken (possibly fewer than asked, a zero-length write returns 0);
    // kIoFailed with the last error set.
    virtual size_t write(const void* buffer, size_t size) = 0;
    // The parts back to back as one write, so that what splits or frames the
    // byte stream behind the transport sees them together (a message's header
    // and payload). Same result rules as write for the parts' total. The
    // default joins them into one buffer and calls write.
    virtual size_t writeParts(const ConstBytes* parts, size_t count);
    // A pause before the rest of a partial write is retried.
    virtual bool wait() = 0;
    // Bytes every further file of a split output begins with (a file format's
    // header), so each file reads on its own. Kept by copy; a transport that does
    // not split ignores them. Set under the message lock: splits happen in writes.
    virtual void setFilePreamble(ConstBytes) {}

    // Held by the message writers across a message's header and payload writes.
    std::mutex& messageLock() { return messageLock_; }

    // The far end has left: its input ended or broke, or a write failed, before
    // this side closed the transport. Tells a client that went away from a
    // session that failed.
    bool peerGone() const { return peerGone_.load(); }

protected:
    // For the transports: what a read or write returned, and this side's close.
    void noteRead(size_t n) {
        if ((n == 0 || n == kIoFailed) && !closing_.load()) peerGone_ = true;
    }
    void noteWrite(size_t n) {
        if (n == kIoFailed && !closing_.load()) peerGone_ = true;
    }
    void noteClose() { closing_ = true; }
    // This side has begun to close the transport.
    bool closing() const { return closing_.load(); }

private:
    std::mutex messageLock_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> peerGone_{false};
};
