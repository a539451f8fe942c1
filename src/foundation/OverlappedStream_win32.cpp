#include "foundation/OverlappedStream_win32.h"

#include <algorithm>

#include "foundation/Error.h"
#include "foundation/IoGate.h"
#include "foundation/SystemError.h"

namespace vek::io {

namespace {

constexpr DWORD kMaxTransfer = 0x7FFFFFFF;

class OverlappedStream final : public Stream {
public:
    OverlappedStream(HANDLE handle, OverlappedKind kind, win::Handle closeEvent)
        : handle_(handle), kind_(kind), closeEvent_(std::move(closeEvent)) {}
    ~OverlappedStream() override { close(); }

    size_t read(void* buffer, size_t size) override;
    size_t write(const void* buffer, size_t size) override;
    void close() override;

private:
    SOCKET socket() const { return reinterpret_cast<SOCKET>(handle_); }
    size_t transfer(bool reading, void* buffer, DWORD size);
    bool start(bool reading, void* buffer, DWORD size, OVERLAPPED& ov, DWORD& code);
    bool result(OVERLAPPED& ov, DWORD& got, DWORD& code);
    size_t fail(bool reading, DWORD code, bool cancelled);

    HANDLE handle_;
    const OverlappedKind kind_;
    win::Handle closeEvent_;
    IoGate gate_;
};

bool OverlappedStream::start(bool reading, void* buffer, DWORD size, OVERLAPPED& ov, DWORD& code) {
    if (kind_ == OverlappedKind::kSocket) {
        WSABUF piece{size, static_cast<char*>(buffer)};
        DWORD flags = 0;
        int r = reading ? WSARecv(socket(), &piece, 1, nullptr, &flags, &ov, nullptr)
                        : WSASend(socket(), &piece, 1, nullptr, 0, &ov, nullptr);
        code = r == 0 ? 0 : static_cast<DWORD>(WSAGetLastError());
        return r == 0 || code == WSA_IO_PENDING;
    }
    BOOL ok = reading ? ReadFile(handle_, buffer, size, nullptr, &ov) : WriteFile(handle_, buffer, size, nullptr, &ov);
    code = ok ? 0 : GetLastError();
    return ok || code == ERROR_IO_PENDING;
}

bool OverlappedStream::result(OVERLAPPED& ov, DWORD& got, DWORD& code) {
    BOOL ok;
    if (kind_ == OverlappedKind::kSocket) {
        DWORD flags = 0;
        ok = WSAGetOverlappedResult(socket(), &ov, &got, TRUE, &flags);
        code = ok ? 0 : static_cast<DWORD>(WSAGetLastError());
    } else {
        ok = GetOverlappedResult(handle_, &ov, &got, TRUE);
        code = ok ? 0 : GetLastError();
    }
    return ok;
}

size_t OverlappedStream::fail(bool reading, DWORD code, bool cancelled) {
    // A pipe reports its end as ERROR_BROKEN_PIPE: the end of input, not a failure.
    if (reading && (cancelled || code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE)) return 0;
    if (cancelled) return failClosed();
    err::setWinError(code);
    return kStreamFailed;
}

size_t OverlappedStream::transfer(bool reading, void* buffer, DWORD size) {
    win::Handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done.valid()) return err::setSystemError(), kStreamFailed;
    OVERLAPPED ov{};
    ov.hEvent = done.get();
    DWORD code = 0;
    if (!start(reading, buffer, size, ov, code)) return fail(reading, code, false);

    HANDLE waits[2] = {done.get(), closeEvent_.get()};
    bool cancelled = WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0;
    if (cancelled) CancelIoEx(handle_, &ov);
    // The operation must be over before ov and the buffer go, cancelled or not.
    DWORD got = 0;
    if (result(ov, got, code)) return got;  // done before the cancel took: keep it
    return fail(reading, code, cancelled);
}

size_t OverlappedStream::read(void* buffer, size_t size) {
    IoGate::Pass pass(gate_);
    if (!pass || size == 0) return 0;
    return transfer(true, buffer, static_cast<DWORD>(std::min<size_t>(size, kMaxTransfer)));
}

size_t OverlappedStream::write(const void* buffer, size_t size) {
    IoGate::Pass pass(gate_);
    if (!pass) return failClosed();
    auto p = static_cast<uint8_t*>(const_cast<void*>(buffer));  // the write calls do not change it
    size_t done = 0;
    while (done < size) {
        size_t n = transfer(false, p + done, static_cast<DWORD>(std::min<size_t>(size - done, kMaxTransfer)));
        if (n == kStreamFailed) return kStreamFailed;
        if (n == 0) break;
        done += n;
    }
    return done;
}

void OverlappedStream::close() {
    if (!gate_.beginClose()) return;
    SetEvent(closeEvent_.get());
    gate_.waitIdle();
    if (kind_ == OverlappedKind::kSocket)
        closesocket(socket());
    else
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    gate_.endClose();
}

}  // namespace

std::unique_ptr<Stream> makeOverlappedStream(HANDLE handle, OverlappedKind kind) {
    win::Handle closeEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!closeEvent.valid()) {
        err::setSystemError();
        if (kind == OverlappedKind::kSocket)
            closesocket(reinterpret_cast<SOCKET>(handle));
        else
            CloseHandle(handle);
        return nullptr;
    }
    return std::make_unique<OverlappedStream>(handle, kind, std::move(closeEvent));
}

}  // namespace vek::io
