#include "foundation/FdStream_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "foundation/Error.h"
#include "foundation/SystemError.h"

namespace vek::io {

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool WakePipe::open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return err::setSystemError();
    read_.reset(fds[0]);
    write_.reset(fds[1]);
    return true;
}

void WakePipe::signal() const {
    // One byte is enough: nobody drains the pipe. A full pipe (EAGAIN) is
    // already readable.
    const char byte = 1;
    while (::write(write_.get(), &byte, 1) < 0 && errno == EINTR) {
    }
}

int pollWithWake(int fd, short events, int wakeFd) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents) return 0;
        if (fds[0].revents) return 1;
    }
}

size_t failClosed() {
    err::setErrnoError(EBADF);
    return kStreamFailed;
}

namespace {

size_t fail(int code) {
    err::setErrnoError(code);
    return kStreamFailed;
}

bool retryable(int code) { return code == EINTR || code == EAGAIN || code == EWOULDBLOCK; }

// Blocks SIGPIPE on the calling thread for the length of a FIFO write, and
// takes away a SIGPIPE that write raised, unless one was pending before.
class SigpipeBlock {
public:
    explicit SigpipeBlock(bool active) : active_(active) {
        if (!active_) return;
        sigemptyset(&set_);
        sigaddset(&set_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (!active_) return;
        if (raised_ && !wasPending_) {
            timespec zero{};
            while (sigtimedwait(&set_, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    void noteEpipe() { raised_ = true; }

private:
    bool active_;
    bool wasPending_ = false;
    bool raised_ = false;
    sigset_t set_{}, old_{};
};

class FdStream final : public Stream {
public:
    // Regular files never block for long; sockets are tried without waiting
    // (MSG_DONTWAIT) and waited for only when they would block; FIFOs and
    // devices (ttys, standard handles) are waited for before every call.
    enum class Kind { kRegular, kOther, kFifo, kSocket };

    FdStream(Fd fd, Kind kind, int accessMode, WakePipe wake)
        : fd_(std::move(fd)), kind_(kind), accessMode_(accessMode), wake_(std::move(wake)) {}
    // Reads [0, end) with their own position (pread); the caller set O_APPEND.
    void readOwnRange(off_t end) {
        readPosition_ = 0;
        readEnd_ = end;
    }
    ~FdStream() override { close(); }

    size_t read(void* buffer, size_t size) override;
    size_t write(const void* buffer, size_t size) override;
    size_t writeParts(const ConstBytes* parts, size_t count) override;
    void close() override;

private:
    // Gathered writes take this many parts at most (a message is two).
    static constexpr size_t kMaxParts = 4;

    bool mayBlock() const { return kind_ == Kind::kFifo || kind_ == Kind::kOther; }
    ssize_t writeSome(const ConstBytes* parts, size_t count, size_t skip);

    Fd fd_;
    const Kind kind_;
    // O_RDONLY, O_WRONLY or O_RDWR. Waiting for a direction the descriptor was not
    // opened for would never end (a reply written to a read-only standard input).
    const int accessMode_;
    WakePipe wake_;
    IoGate gate_;
    // A file both read and written: reads have their own range; -1: none.
    // Read by the reading thread only.
    off_t readPosition_ = -1;
    off_t readEnd_ = -1;
};

size_t FdStream::read(void* buffer, size_t size) {
    IoGate::Pass pass(gate_);
    if (!pass || size == 0) return 0;
    if (accessMode_ == O_WRONLY) return fail(EBADF);
    size = std::min<size_t>(size, SSIZE_MAX);
    if (readPosition_ >= 0) {
        size = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(size), readEnd_ - readPosition_));
        if (size == 0) return 0;
        ssize_t n;
        do {
            n = ::pread(fd_.get(), buffer, size, readPosition_);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return fail(errno);
        readPosition_ += n;
        return static_cast<size_t>(n);
    }
    bool waitFirst = mayBlock();
    for (;;) {
        if (waitFirst) {
            int ready = pollWithWake(fd_.get(), POLLIN, wake_.fd());
            if (ready == 0) return 0;
            if (ready < 0) return fail(errno);
        }
        ssize_t n = kind_ == Kind::kSocket ? ::recv(fd_.get(), buffer, size, MSG_DONTWAIT)
                                           : ::read(fd_.get(), buffer, size);
        if (n >= 0) return static_cast<size_t>(n);
        if (!retryable(errno)) return fail(errno);
        waitFirst = true;
    }
}

// One system call for the parts from byte `skip` on: writev, or sendmsg on a
// socket (no SIGPIPE, no waiting). A FIFO takes at most PIPE_BUF bytes a call,
// which poll's POLLOUT guarantees to fit.
ssize_t FdStream::writeSome(const ConstBytes* parts, size_t count, size_t skip) {
    size_t limit = kind_ == Kind::kFifo ? PIPE_BUF : SSIZE_MAX;
    iovec iov[kMaxParts];
    int used = 0;
    for (size_t i = 0; i < count && limit > 0; ++i) {
        if (skip >= parts[i].size) {
            skip -= parts[i].size;
            continue;
        }
        size_t n = std::min(parts[i].size - skip, limit);
        iov[used++] = {const_cast<uint8_t*>(static_cast<const uint8_t*>(parts[i].data)) + skip, n};
        limit -= n;
        skip = 0;
    }
    if (kind_ == Kind::kSocket) {
        msghdr message{};
        message.msg_iov = iov;
        message.msg_iovlen = static_cast<size_t>(used);
        return ::sendmsg(fd_.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    return ::writev(fd_.get(), iov, used);
}

size_t FdStream::write(const void* buffer, size_t size) {
    ConstBytes part{buffer, size};
    return writeParts(&part, 1);
}

size_t FdStream::writeParts(const ConstBytes* parts, size_t count) {
    if (count > kMaxParts) return Stream::writeParts(parts, count);
    IoGate::Pass pass(gate_);
    if (!pass) return failClosed();
    size_t size = 0;
    for (size_t i = 0; i < count; ++i) size += parts[i].size;
    if (size == 0) return 0;
    if (accessMode_ == O_RDONLY) return fail(EBADF);
    SigpipeBlock block(kind_ == Kind::kFifo);
    size_t done = 0;
    bool waitFirst = mayBlock();
    while (done < size) {
        if (waitFirst) {
            int ready = pollWithWake(fd_.get(), POLLOUT, wake_.fd());
            if (ready == 0) return failClosed();
            if (ready < 0) return fail(errno);
        }
        ssize_t n = writeSome(parts, count, done);
        if (n < 0) {
            int code = errno;
            if (retryable(code)) {
                waitFirst = true;
                continue;
            }
            if (code == EPIPE) block.noteEpipe();
            return fail(code);
        }
        done += static_cast<size_t>(n);
        waitFirst = mayBlock();
    }
    return done;
}

void FdStream::close() {
    if (!gate_.beginClose()) return;
    wake_.signal();
    gate_.waitIdle();
    // The wake pipe first: a peer that sees the connection end sees everything released.
    wake_ = WakePipe();
    fd_.reset();
    gate_.endClose();
}

}  // namespace

std::unique_ptr<Stream> makeFdStream(Fd fd) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        err::setSystemError();
        return nullptr;
    }
    FdStream::Kind kind = S_ISSOCK(st.st_mode)   ? FdStream::Kind::kSocket
                          : S_ISFIFO(st.st_mode) ? FdStream::Kind::kFifo
                          : S_ISREG(st.st_mode)  ? FdStream::Kind::kRegular
                                                 : FdStream::Kind::kOther;
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0) {
        err::setSystemError();
        return nullptr;
    }
    WakePipe wake;
    if (!wake.open()) return nullptr;
    return std::make_unique<FdStream>(std::move(fd), kind, flags & O_ACCMODE, std::move(wake));
}

std::unique_ptr<Stream> makeSharedFileStream(Fd fd) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        err::setSystemError();
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) return makeFdStream(std::move(fd));
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_APPEND) != 0) {
        err::setSystemError();
        return nullptr;
    }
    WakePipe wake;
    if (!wake.open()) return nullptr;
    auto stream = std::make_unique<FdStream>(std::move(fd), FdStream::Kind::kRegular, flags & O_ACCMODE, std::move(wake));
    stream->readOwnRange(st.st_size);
    return stream;
}

bool FdListener::prepare(const Fd& listening, WakePipe& wake) {
    int flags = ::fcntl(listening.get(), F_GETFL);
    if (flags < 0 || ::fcntl(listening.get(), F_SETFL, flags | O_NONBLOCK) != 0) return err::setSystemError();
    return wake.open();
}

std::unique_ptr<FdListener> FdListener::create(Fd listening) {
    WakePipe wake;
    if (!prepare(listening, wake)) return nullptr;
    return std::make_unique<FdListener>(std::move(listening), std::move(wake));
}

AcceptResult FdListener::accept(std::unique_ptr<Stream>& connection) {
    for (;;) {
        int ready = pollWithWake(fd_.get(), POLLIN, wake_.fd());
        if (ready == 0) return AcceptResult::kStopped;
        if (ready < 0) return err::setSystemError(), AcceptResult::kFailed;
        int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Another waiter, or a client that left before we got to it.
            if (retryable(errno)) continue;
            return err::setSystemError(), AcceptResult::kFailed;
        }
        connection = makeFdStream(Fd(fd));
        return connection ? AcceptResult::kConnected : AcceptResult::kFailed;
    }
}

}  // namespace vek::io
