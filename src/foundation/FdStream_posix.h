#pragma once
// POSIX descriptor streams and listeners, shared by File_posix.cpp,
// Socket_posix.cpp and LocalPipe_posix.cpp. Included by *_posix.cpp files only.
//
// A blocking call waits in poll on its descriptor and on a wake pipe; close()
// and stop() make the wake pipe readable for good, which ends every wait at
// once. Descriptors of our own are non-blocking; duplicated standard handles
// keep their mode (it is shared with the parent process), so writes to a FIFO
// go in pieces of PIPE_BUF bytes, which poll's POLLOUT guarantees to fit.

#include <memory>

#include "foundation/IoGate.h"
#include "foundation/Stream.h"

namespace vek::io {

// Owns a descriptor; -1 is none.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A pipe whose read end turns readable, for good, once signal() is called.
class WakePipe {
public:
    // False with the last error set.
    bool open();
    // Any thread; idempotent.
    void signal() const;
    int fd() const { return read_.get(); }

private:
    Fd read_, write_;
};

// Waits until `fd` reports one of `events` (or hangs up or fails: the next call
// on it tells which) or the wake pipe is readable. 1: fd ready; 0: woken;
// -1: poll failed (errno).
int pollWithWake(int fd, short events, int wakeFd);

// A stream on `fd`, which it takes over. Sockets use recv/send with
// MSG_NOSIGNAL; FIFOs are written with SIGPIPE blocked for the calling thread,
// so a vanished reader is an EPIPE failure even where SIGPIPE is not ignored.
// Null with the last error set.
std::unique_ptr<Stream> makeFdStream(Fd fd);
// The same for a regular file both read and written (FileMode::kReadWrite):
// reads end at the size the file has now, from its start, with a position of
// their own; writes are appended.
std::unique_ptr<Stream> makeSharedFileStream(Fd fd);

// Accepts connections on a listening socket.
class FdListener : public Listener {
public:
    // Makes `listening` non-blocking. Null with the last error set.
    static std::unique_ptr<FdListener> create(Fd listening);
    // What create does before constructing: makes `listening` non-blocking and
    // opens `wake`. False with the last error set.
    static bool prepare(const Fd& listening, WakePipe& wake);
    FdListener(Fd listening, WakePipe wake) : fd_(std::move(listening)), wake_(std::move(wake)) {}

    AcceptResult accept(std::unique_ptr<Stream>& connection) override;
    void stop() override { wake_.signal(); }

protected:
    int fd() const { return fd_.get(); }

private:
    Fd fd_;
    WakePipe wake_;
};

}  // namespace vek::io
