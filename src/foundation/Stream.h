#pragma once
// Byte streams over OS handles (files, standard handles, socket and local pipe
// connections) and the listeners that accept connections. The concrete classes
// live in the platform files; callers see only these interfaces.
//
// Threads: read and write may run on different threads at the same time. close()
// may be called from any thread, also while another thread is blocked in read or
// write on the same stream: the blocked call returns promptly (a read with 0, a
// write with failure) and the handle is released only after it has left, so no
// call ever reaches a recycled handle. Failures are kStreamFailed with the
// calling thread's last error set.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vek::io {

constexpr size_t kStreamFailed = ~size_t{0};

// One piece of a gathered write.
struct ConstBytes {
    const void* data;
    size_t size;
};

class Stream {
public:
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    virtual ~Stream() = default;  // closes

    // At most size bytes, blocking until some arrive; 0 at the end of the
    // stream, after the peer has gone, and once close() has begun.
    virtual size_t read(void* buffer, size_t size) = 0;
    // All size bytes unless the stream fails or is closed meanwhile (then
    // kStreamFailed). A zero-length write does nothing and returns 0.
    virtual size_t write(const void* buffer, size_t size) = 0;
    // The parts back to back in one system call where the stream can, so a
    // reader or a file sees them together; otherwise as one write of a copy.
    // Same result as write with the parts' total size.
    virtual size_t writeParts(const ConstBytes* parts, size_t count);
    // Releases the handle; idempotent; returns once it is released.
    virtual void close() = 0;
};

// The parts copied into one buffer of the calling thread (kept between calls,
// so a steady stream of writes allocates nothing). Valid until the thread's
// next call.
ConstBytes joinParts(const ConstBytes* parts, size_t count);

// Sets the platform's "invalid handle" error for an operation on a stream that
// is closed or was never opened, and returns kStreamFailed.
size_t failClosed();

enum class AcceptResult {
    kConnected,  // a client is connected
    kFailed,     // this client's connection failed (last error set); try again
    kFatal,      // the listener cannot go on (last error set)
    kStopped,    // stop() was called
};

class Listener {
public:
    Listener() = default;
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    virtual ~Listener() = default;

    // The serving thread: blocks until a client connects or stop() is called.
    // On kConnected `connection` holds the client's stream.
    virtual AcceptResult accept(std::unique_ptr<Stream>& connection) = 0;
    // Any thread: a waiting accept, and every later one, returns kStopped.
    // Connections already accepted are not touched.
    virtual void stop() = 0;
};

}  // namespace vek::io
