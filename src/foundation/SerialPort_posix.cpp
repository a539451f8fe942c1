// A serial port as a non-blocking tty descriptor. The I/O thread polls it together
// with the read end of a wake pipe; "starting" a read or write only records the
// buffer, and the transfer itself happens when poll says the port is ready, so
// nothing is ever left in flight in the kernel.

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/Error.h"
#include "foundation/SerialPort.h"
#include "foundation/SerialTermios_posix.h"
#include "foundation/SystemError.h"

namespace vek::io {

std::string serialDevicePath(std::string_view name) {
    if (!name.empty() && name.front() == '/') return std::string(name);
    return "/dev/" + std::string(name);
}

namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

class PosixSerialPort final : public SerialPort {
public:
    PosixSerialPort();

    bool open(std::string_view name) override;
    void close() override { fd_.reset(); }
    bool isOpen() const override { return fd_.get() >= 0; }
    bool setSettings(const SerialSettings& settings, uint32_t mask) override;
    bool escape(SerialEscape what) override;
    bool wake() override;

    bool beginIo() override;
    void endIo() override;
    CommWait startCommWait() override { return linesObservable_ ? CommWait::kUnsupported : CommWait::kUnobservable; }
    bool startRead(void* buffer, size_t size) override;
    bool startWrite(const void* data, size_t size) override;
    bool wait(bool withWrite, int timeoutMs) override;
    bool takeCommEvent() override { return false; }
    IoState readState(size_t* count) override;
    IoState writeState() override;
    size_t outputPending() override;
    uint32_t lineErrors() override;
    uint32_t modemStatus() override;

private:
    // The context of an open failure, by its errno.
    bool failOpen();
    bool ready(short events) const { return (revents_ & (events | POLLERR | POLLHUP)) != 0; }
    void drainWake();

    Fd fd_;
    std::string path_;
    Fd wakeRead_, wakeWrite_;
    int wakeError_ = 0;

    // I/O thread state between beginIo and endIo.
    short revents_ = 0;
    void* readBuffer_ = nullptr;
    size_t readSize_ = 0;
    bool readPending_ = false;
    const uint8_t* writeData_ = nullptr;
    size_t writeLeft_ = 0;
    bool writePending_ = false;
    bool haveCounters_ = false;
    serial_icounter_struct counters_{};
    // Neither counters nor modem lines (a pty): polling for them is pointless.
    bool linesObservable_ = false;  // set by beginIo
};

PosixSerialPort::PosixSerialPort() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        wakeError_ = errno;
        return;
    }
    wakeRead_.reset(fds[0]);
    wakeWrite_.reset(fds[1]);
}

bool PosixSerialPort::open(std::string_view name) {
    close();
    if (wakeError_ != 0) {
        err::setErrnoError(wakeError_);
        return false;
    }
    path_ = serialDevicePath(name);
    Fd fd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return failOpen();
    // Exclusive like a Windows COM port: later opens by others fail with EBUSY.
    // TIOCEXCL does not hold against root, so the port is locked too; both
    // end with the descriptor.
    if (ioctl(fd.get(), TIOCEXCL) != 0) return failOpen();
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) errno = EBUSY;
        return failOpen();
    }
    fd_.reset(fd.release());
    return true;
}

bool PosixSerialPort::failOpen() {
    int code = errno;
    err::setErrnoError(code);
    if (code == EBUSY)
        err::setErrorContext("serial port " + path_ + " is in use by another program");
    else if (code == ENOTTY)
        err::setErrorContext(path_ + " is not a serial port");
    else
        err::setErrorContext("serial port " + path_);
    return false;
}

bool PosixSerialPort::setSettings(const SerialSettings& settings, uint32_t mask) {
    if (applySerialSettings(fd_.get(), settings, mask)) return true;
    std::string what = err::getLastErrorContext();
    if (what.empty() && err::getLastError().code() == ENOTTY)
        return err::setErrorContext(path_ + " is not a serial port"), false;
    if (what.empty()) what = "refused the line settings (" + describeLineSettings(settings) + ")";
    err::setErrorContext("serial port " + path_ + (what[0] == ':' ? "" : " ") + what);
    return false;
}

bool PosixSerialPort::escape(SerialEscape what) {
    int bits = 0;
    unsigned long request = 0;
    switch (what) {
    case SerialEscape::kSetDtr: request = TIOCMBIS, bits = TIOCM_DTR; break;
    case SerialEscape::kClearDtr: request = TIOCMBIC, bits = TIOCM_DTR; break;
    case SerialEscape::kSetRts: request = TIOCMBIS, bits = TIOCM_RTS; break;
    case SerialEscape::kClearRts: request = TIOCMBIC, bits = TIOCM_RTS; break;
    case SerialEscape::kSetBreak: request = TIOCSBRK; break;
    case SerialEscape::kClearBreak: request = TIOCCBRK; break;
    }
    int rc = bits ? ioctl(fd_.get(), request, &bits) : ioctl(fd_.get(), request);
    return rc == 0 || err::setSystemError();
}

bool PosixSerialPort::wake() {
    if (wakeWrite_.get() < 0) {
        err::setErrnoError(wakeError_);
        return false;
    }
    char byte = 1;
    // A full pipe already holds a wake-up.
    if (::write(wakeWrite_.get(), &byte, 1) == 1 || errno == EAGAIN) return true;
    return err::setSystemError();
}

void PosixSerialPort::drainWake() {
    char sink[64];
    while (::read(wakeRead_.get(), sink, sizeof sink) > 0) {
    }
}

bool PosixSerialPort::beginIo() {
    endIo();
    haveCounters_ = ioctl(fd_.get(), TIOCGICOUNT, &counters_) == 0;
    int lines = 0;
    linesObservable_ = haveCounters_ || ioctl(fd_.get(), TIOCMGET, &lines) == 0;
    return true;
}

void PosixSerialPort::endIo() {
    revents_ = 0;
    readPending_ = writePending_ = false;
    readBuffer_ = nullptr;
    writeData_ = nullptr;
    writeLeft_ = 0;
}

bool PosixSerialPort::startRead(void* buffer, size_t size) {
    readBuffer_ = buffer;
    readSize_ = size;
    readPending_ = true;
    return true;
}

bool PosixSerialPort::startWrite(const void* data, size_t size) {
    writeData_ = static_cast<const uint8_t*>(data);
    writeLeft_ = size;
    writePending_ = true;
    return true;
}

bool PosixSerialPort::wait(bool withWrite, int timeoutMs) {
    short events = 0;
    if (readPending_) events |= POLLIN;
    if (withWrite && writePending_) events |= POLLOUT;
    pollfd fds[2] = {{wakeRead_.get(), POLLIN, 0}, {fd_.get(), events, 0}};
    int rc;
    do {
        rc = poll(fds, 2, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return err::setSystemError();
    if (fds[1].revents & POLLNVAL) {
        err::setErrnoError(EBADF);
        return false;
    }
    if (fds[0].revents & POLLIN) drainWake();
    revents_ = fds[1].revents;
    return true;
}

SerialPort::IoState PosixSerialPort::readState(size_t* count) {
    if (!readPending_ || !ready(POLLIN)) return IoState::kPending;
    ssize_t n = ::read(fd_.get(), readBuffer_, readSize_);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return IoState::kPending;
    readPending_ = false;
    if (n < 0) return err::setSystemError(), IoState::kFailed;
    if (n == 0) {
        // End of file on a tty: it was hung up (adapter unplugged, pty master gone).
        err::setErrnoError(EIO);
        return IoState::kFailed;
    }
    *count = static_cast<size_t>(n);
    return IoState::kDone;
}

SerialPort::IoState PosixSerialPort::writeState() {
    if (!writePending_) return IoState::kPending;
    if (writeLeft_ > 0) {
        if (!ready(POLLOUT)) return IoState::kPending;
        ssize_t n = ::write(fd_.get(), writeData_, writeLeft_);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return IoState::kPending;
        if (n < 0) {
            writePending_ = false;
            return err::setSystemError(), IoState::kFailed;
        }
        writeData_ += n;
        writeLeft_ -= static_cast<size_t>(n);
        // Take the rest at the next POLLOUT.
        revents_ &= static_cast<short>(~POLLOUT);
        if (writeLeft_ > 0) return IoState::kPending;
    }
    writePending_ = false;
    return IoState::kDone;
}

size_t PosixSerialPort::outputPending() {
    int queued = 0;
    return ioctl(fd_.get(), TIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<size_t>(queued) : 0;
}

uint32_t PosixSerialPort::lineErrors() {
    serial_icounter_struct now{};
    if (!haveCounters_ || ioctl(fd_.get(), TIOCGICOUNT, &now) != 0) return 0;
    uint32_t bits = 0;
    if (now.frame != counters_.frame) bits |= kLineErrorFrame;
    if (now.parity != counters_.parity) bits |= kLineErrorParity;
    if (now.brk != counters_.brk) bits |= kLineErrorBreak;
    counters_ = now;
    return bits;
}

uint32_t PosixSerialPort::modemStatus() {
    int lines = 0;
    if (ioctl(fd_.get(), TIOCMGET, &lines) != 0) {
        err::setSystemError();
        return kModemStatusUnknown;
    }
    uint32_t status = 0;
    if (lines & TIOCM_CTS) status |= kModemCts;
    if (lines & TIOCM_DSR) status |= kModemDsr;
    if (lines & TIOCM_RNG) status |= kModemRing;
    if (lines & TIOCM_CAR) status |= kModemRlsd;
    return status;
}

}  // namespace

std::unique_ptr<SerialPort> SerialPort::create() { return std::make_unique<PosixSerialPort>(); }

}  // namespace vek::io
