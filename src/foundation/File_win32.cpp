#include <algorithm>
#include <mutex>

#include "foundation/Error.h"
#include "foundation/File.h"
#include "foundation/IoGate.h"
#include "foundation/ReadPump_win32.h"
#include "foundation/SystemError.h"
#include "foundation/Win32.h"

namespace vek::io {

size_t failClosed() {
    err::setWinError(ERROR_INVALID_HANDLE);
    return kStreamFailed;
}

namespace {

constexpr DWORD kMaxTransfer = 0x7FFFFFFF;
// How often close() repeats its cancel while a write is still blocked.
constexpr uint32_t kCancelRetryMs = 20;

// A synchronous handle: a disk file, or a standard handle (console, pipe, file).
// Disk reads end by themselves; other reads go through a ReadPump so close()
// can let the reader go at once.
class HandleStream final : public Stream {
public:
    explicit HandleStream(HANDLE handle) : handle_(handle), disk_(GetFileType(handle) == FILE_TYPE_DISK) {}
    ~HandleStream() override { close(); }

    // A disk file both read and written: reads take [0, end) with a position of
    // their own, writes go to the end (explicit offsets on the one handle).
    HANDLE handle() const { return handle_.get(); }
    void shareBothWays(uint64_t end) {
        if (!disk_) return;
        readPosition_ = 0;
        readEnd_ = end;
        writePosition_ = end;
        ownPositions_ = true;
    }

    size_t read(void* buffer, size_t size) override;
    size_t write(const void* buffer, size_t size) override;
    void close() override;

private:
    std::shared_ptr<ReadPump> pump();

    static OVERLAPPED at(uint64_t position) {
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(position);
        ov.OffsetHigh = static_cast<DWORD>(position >> 32);
        return ov;
    }

    win::Handle handle_;
    const bool disk_;
    bool ownPositions_ = false;
    uint64_t readPosition_ = 0, readEnd_ = 0;  // the reading thread's
    uint64_t writePosition_ = 0;               // the writers', under the message lock
    IoGate gate_;
    std::mutex pumpMutex_;
    std::shared_ptr<ReadPump> pump_;
};

std::shared_ptr<ReadPump> HandleStream::pump() {
    std::lock_guard<std::mutex> hold(pumpMutex_);
    // close() marks the gate before it looks here: no pump may start after that.
    if (!pump_ && !gate_.closing()) pump_ = ReadPump::start(handle_.get());
    return pump_;
}

size_t HandleStream::read(void* buffer, size_t size) {
    IoGate::Pass pass(gate_);
    if (!pass || size == 0) return 0;
    if (!disk_) {
        std::shared_ptr<ReadPump> reader = pump();
        if (!reader) return gate_.closing() ? 0 : kStreamFailed;
        return reader->read(buffer, size);
    }
    DWORD got = 0;
    if (ownPositions_) {
        size = static_cast<size_t>(std::min<uint64_t>(size, readEnd_ - readPosition_));
        if (size == 0) return 0;
        OVERLAPPED ov = at(readPosition_);
        if (ReadFile(handle_.get(), buffer, static_cast<DWORD>(std::min<size_t>(size, kMaxTransfer)), &got, &ov)) {
            readPosition_ += got;
            return got;
        }
    } else if (ReadFile(handle_.get(), buffer, static_cast<DWORD>(std::min<size_t>(size, kMaxTransfer)), &got,
                        nullptr)) {
        return got;
    }
    DWORD code = GetLastError();
    if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) return 0;
    err::setWinError(code);
    return kStreamFailed;
}

size_t HandleStream::write(const void* buffer, size_t size) {
    IoGate::Pass pass(gate_);
    if (!pass) return failClosed();
    auto p = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < size) {
        DWORD put = 0;
        OVERLAPPED ov = at(writePosition_);
        if (!WriteFile(handle_.get(), p + done, static_cast<DWORD>(std::min<size_t>(size - done, kMaxTransfer)), &put,
                       ownPositions_ ? &ov : nullptr))
            return err::setSystemError(), kStreamFailed;
        if (put == 0) break;
        done += put;
        writePosition_ += put;
    }
    return done;
}

void HandleStream::close() {
    if (!gate_.beginClose()) return;
    {
        std::lock_guard<std::mutex> hold(pumpMutex_);
        if (pump_) pump_->close();
    }
    // A write blocked on a full pipe: cancel it until it has left. Disk calls
    // end by themselves.
    while (!gate_.waitIdleFor(kCancelRetryMs)) CancelIoEx(handle_.get(), nullptr);
    handle_.reset();
    gate_.endClose();
}

struct OpenParameters {
    DWORD access;
    DWORD share;
    DWORD disposition;
    bool truncate;
};

OpenParameters parameters(FileMode mode) {
    switch (mode) {
        case FileMode::kReadWrite:
            return {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, false};
        case FileMode::kReadExisting:
            return {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, false};
        case FileMode::kOutputReadWrite:
            return {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, true};
        case FileMode::kOutputWriteOnly:
            break;
    }
    return {GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, true};
}

}  // namespace

std::unique_ptr<Stream> openFile(std::string_view name, FileMode mode) {
    if (name.find('\0') != std::string_view::npos) {
        err::setWinError(ERROR_INVALID_NAME);
        return nullptr;
    }
    OpenParameters p = parameters(mode);
    win::Handle file(CreateFileW(win::widen(name).c_str(), p.access, p.share, nullptr, p.disposition, 0, nullptr));
    if (!file.valid()) {
        err::setSystemError();
        return nullptr;
    }
    // OPEN_ALWAYS and then cutting, rather than CREATE_ALWAYS, which refuses
    // hidden and system files.
    if (p.truncate && (SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
                       !SetEndOfFile(file.get()))) {
        err::setSystemError();
        return nullptr;
    }
    auto stream = std::make_unique<HandleStream>(file.release());
    if (mode == FileMode::kReadWrite) {
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(stream->handle(), &size)) {
            err::setSystemError();
            return nullptr;
        }
        stream->shareBothWays(static_cast<uint64_t>(size.QuadPart));
    }
    return stream;
}

std::unique_ptr<Stream> duplicateStd(StdStream which) {
    HANDLE self = GetCurrentProcess();
    HANDLE source = GetStdHandle(which == StdStream::kInput ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(self, source, self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        err::setSystemError();
        return nullptr;
    }
    return std::make_unique<HandleStream>(duplicate);
}

}  // namespace vek::io
