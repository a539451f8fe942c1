// A COM port opened for overlapped I/O. The I/O thread keeps a WaitCommEvent, a
// ReadFile and a WriteFile in flight, each with its own manual-reset event, and
// waits on those events together with the auto-reset wake event.

#include <algorithm>
#include <utility>

#include "foundation/Error.h"
#include "foundation/SerialDcb_win32.h"
#include "foundation/SerialPort.h"
#include "foundation/SystemError.h"
#include "foundation/Win32.h"

namespace vek::io {

namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";
// The line events that wake the I/O thread. Ring and carrier changes are asked
// for too, so a short pulse on them is not missed between other events.
constexpr DWORD kCommEvents = EV_CTS | EV_DSR | EV_ERR | EV_RING | EV_RLSD;

struct Overlapped {
    win::Handle event;
    OVERLAPPED ov{};
    bool pending = false;

    bool create() {
        event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        return event.valid() || err::setSystemError();
    }
    // Starts over: a fresh OVERLAPPED on the same event.
    OVERLAPPED* arm() {
        ov = OVERLAPPED{};
        ov.hEvent = event.get();
        return &ov;
    }
    bool signalled() const { return pending && WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0; }
    // The outcome of a started call: in flight, or failed with the last error set.
    bool started(BOOL ok) {
        if (!ok && GetLastError() != ERROR_IO_PENDING) return err::setSystemError();
        pending = true;
        return true;
    }
};

class Win32SerialPort final : public SerialPort {
public:
    Win32SerialPort() {
        wake_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!wake_.valid()) wakeError_ = GetLastError();
    }
    ~Win32SerialPort() override { endIo(); }

    bool open(std::string_view name) override;
    void close() override { port_.reset(); }
    bool isOpen() const override { return port_.valid(); }
    bool setSettings(const SerialSettings& settings, uint32_t mask) override;
    bool escape(SerialEscape what) override;
    bool wake() override {
        if (!wake_.valid()) return err::setWinError(wakeError_), false;
        return SetEvent(wake_.get()) || err::setSystemError();
    }

    bool beginIo() override;
    void endIo() override;
    CommWait startCommWait() override;
    bool startRead(void* buffer, size_t size) override {
        DWORD n = static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
        return read_.started(ReadFile(port_.get(), buffer, n, nullptr, read_.arm()));
    }
    bool startWrite(const void* data, size_t size) override {
        DWORD n = static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
        return write_.started(WriteFile(port_.get(), data, n, nullptr, write_.arm()));
    }
    bool wait(bool withWrite, int timeoutMs) override;
    bool takeCommEvent() override;
    IoState readState(size_t* count) override;
    IoState writeState() override;
    size_t outputPending() override;
    uint32_t lineErrors() override;
    uint32_t modemStatus() override;

private:
    // Collects a signalled operation: its error code (0 when it succeeded) and count.
    DWORD finish(Overlapped& op, DWORD* count);

    win::Handle port_;
    std::string path_;
    win::Handle wake_;
    DWORD wakeError_ = 0;
    Overlapped comm_, read_, write_;
    DWORD commEvent_ = 0;
    bool commUnsupported_ = false;
    DWORD clearedErrors_ = 0;  // line errors outputPending took from the port
};

bool Win32SerialPort::open(std::string_view name) {
    close();
    if (!wake_.valid()) return err::setWinError(wakeError_), false;
    path_ = serialDevicePath(name);
    port_.reset(CreateFileW(win::widen(path_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr));
    if (port_.valid()) return true;
    DWORD code = GetLastError();
    err::setWinError(code);
    // A COM port is opened exclusively: another program holding it shows as a refusal.
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION)
        err::setErrorContext("serial port " + path_ + " is in use by another program");
    else
        err::setErrorContext("serial port " + path_);
    return false;
}

bool Win32SerialPort::setSettings(const SerialSettings& settings, uint32_t mask) {
    DCB probe{};
    probe.DCBlength = sizeof probe;
    if (!GetCommState(port_.get(), &probe)) {
        err::setSystemError();
        err::setErrorContext(path_ + " is not a serial port");
        return false;
    }
    if (applySerialSettings(port_.get(), settings, mask)) return true;
    err::setErrorContext("serial port " + path_ + " refused the line settings (" + describeLineSettings(settings) + ")");
    return false;
}

bool Win32SerialPort::escape(SerialEscape what) {
    static const DWORD kFunctions[] = {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK};
    return EscapeCommFunction(port_.get(), kFunctions[static_cast<int>(what)]) || err::setSystemError();
}

bool Win32SerialPort::beginIo() {
    endIo();
    commUnsupported_ = false;
    if (!SetCommMask(port_.get(), kCommEvents)) {
        // Virtual ports may not do line events at all; they can still carry data.
        if (GetLastError() != ERROR_NOT_SUPPORTED) return err::setSystemError();
        commUnsupported_ = true;
    }
    COMMTIMEOUTS timeouts = arrivalTimeouts();
    if (!SetCommTimeouts(port_.get(), &timeouts)) return err::setSystemError();
    return comm_.create() && read_.create() && write_.create();
}

void Win32SerialPort::endIo() {
    // The buffers of a read or write in flight belong to the caller, who frees
    // them right after this: cancel, then wait until the system is done with them.
    // A pending line-event wait ends at once when the event mask changes; some
    // serial drivers (Wine's on a port with no UART behind it, for one) never
    // complete a cancelled one, and waiting for it would hang the program's end.
    if (comm_.pending) SetCommMask(port_.get(), 0);
    if (comm_.pending || read_.pending || write_.pending) CancelIoEx(port_.get(), nullptr);
    for (Overlapped* op : {&comm_, &read_, &write_}) {
        if (op->pending) {
            DWORD ignored = 0;
            GetOverlappedResult(port_.get(), &op->ov, &ignored, TRUE);
            op->pending = false;
        }
        op->event.reset();
    }
}

SerialPort::CommWait Win32SerialPort::startCommWait() {
    if (commUnsupported_) return CommWait::kUnsupported;
    if (WaitCommEvent(port_.get(), &commEvent_, comm_.arm())) {
        comm_.pending = true;
        return CommWait::kPending;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        comm_.pending = true;
        return CommWait::kPending;
    }
    if (error == ERROR_NOT_SUPPORTED) {
        commUnsupported_ = true;
        return CommWait::kUnsupported;
    }
    err::setWinError(error);
    return CommWait::kFailed;
}

bool Win32SerialPort::wait(bool withWrite, int timeoutMs) {
    HANDLE handles[4] = {wake_.get(), comm_.event.get(), read_.event.get(), write_.event.get()};
    DWORD n = withWrite && write_.pending ? 4 : 3;
    DWORD rc = WaitForMultipleObjects(n, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    return rc != WAIT_FAILED || err::setSystemError();
}

DWORD Win32SerialPort::finish(Overlapped& op, DWORD* count) {
    op.pending = false;
    DWORD error = GetOverlappedResult(port_.get(), &op.ov, count, TRUE) ? 0 : GetLastError();
    ResetEvent(op.event.get());
    return error;
}

bool Win32SerialPort::takeCommEvent() {
    if (!comm_.signalled()) return false;
    DWORD ignored = 0;
    // A failed comm-event wait is simply asked again; the data path reports
    // a port that is really gone.
    finish(comm_, &ignored);
    return true;
}

SerialPort::IoState Win32SerialPort::readState(size_t* count) {
    if (!read_.signalled()) return IoState::kPending;
    DWORD n = 0;
    DWORD error = finish(read_, &n);
    // Windows ends a timed-out serial read with success and the bytes so far;
    // Wine reports the time-out as an error. Both are a completed read.
    if (error != 0 && error != ERROR_TIMEOUT && error != WAIT_TIMEOUT) return err::setWinError(error), IoState::kFailed;
    *count = n;
    return IoState::kDone;
}

SerialPort::IoState Win32SerialPort::writeState() {
    if (!write_.signalled()) return IoState::kPending;
    DWORD n = 0;
    DWORD error = finish(write_, &n);
    return error == 0 ? IoState::kDone : (err::setWinError(error), IoState::kFailed);
}

size_t Win32SerialPort::outputPending() {
    // The same call clears the line errors: keep them for lineErrors.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_.get(), &errors, &status)) return 0;
    clearedErrors_ |= errors;
    return status.cbOutQue;
}

uint32_t Win32SerialPort::lineErrors() {
    DWORD errors = 0;
    if (!ClearCommError(port_.get(), &errors, nullptr)) {
        err::setSystemError();
        return 0;
    }
    errors |= std::exchange(clearedErrors_, 0);
    uint32_t bits = 0;
    if (errors & CE_FRAME) bits |= kLineErrorFrame;
    if (errors & CE_RXPARITY) bits |= kLineErrorParity;
    if (errors & CE_BREAK) bits |= kLineErrorBreak;
    return bits;
}

uint32_t Win32SerialPort::modemStatus() {
    DWORD value = 0;
    if (!GetCommModemStatus(port_.get(), &value)) {
        err::setSystemError();
        return kModemStatusUnknown;
    }
    return (value >> 4) & 0xF;
}

}  // namespace

std::string serialDevicePath(std::string_view name) {
    if (name.substr(0, kDevicePrefix.size()) == kDevicePrefix) return std::string(name);
    return std::string(kDevicePrefix) + std::string(name);
}

std::unique_ptr<SerialPort> SerialPort::create() { return std::make_unique<Win32SerialPort>(); }

}  // namespace vek::io
