#include "foundation/Error.h"
#include "foundation/LocalPipe.h"
#include "foundation/OverlappedStream_win32.h"
#include "foundation/SystemError.h"
#include "foundation/Win32.h"

namespace vek::io {

namespace {

constexpr std::string_view kPipePrefix = "\\\\.\\pipe\\";
constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;  // 0x40000003
constexpr DWORD kPipeMode = 0;                                          // byte stream, blocking
constexpr DWORD kBufferSize = 4096;

HANDLE createInstance(const std::wstring& name) {
    return CreateNamedPipeW(name.c_str(), kOpenMode, kPipeMode, 1, kBufferSize, kBufferSize, 0, nullptr);
}

// Holds one pipe instance at a time: accept connects it and hands it over; the
// next accept creates the next one.
class PipeListener final : public Listener {
public:
    PipeListener(std::wstring name, win::Handle instance, win::Handle stopEvent)
        : name_(std::move(name)), instance_(std::move(instance)), stopEvent_(std::move(stopEvent)) {}

    AcceptResult accept(std::unique_ptr<Stream>& connection) override;
    void stop() override { SetEvent(stopEvent_.get()); }

private:
    AcceptResult handOver(std::unique_ptr<Stream>& connection) {
        connection = makeOverlappedStream(instance_.release(), OverlappedKind::kPipe);
        return connection ? AcceptResult::kConnected : AcceptResult::kFailed;
    }

    std::wstring name_;
    win::Handle instance_;
    win::Handle stopEvent_;
};

AcceptResult PipeListener::accept(std::unique_ptr<Stream>& connection) {
    if (WaitForSingleObject(stopEvent_.get(), 0) == WAIT_OBJECT_0) return AcceptResult::kStopped;
    if (!instance_.valid()) {
        instance_.reset(createInstance(name_));
        if (!instance_.valid()) return err::setSystemError(), AcceptResult::kFatal;
    }
    win::Handle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connected.valid()) return err::setSystemError(), AcceptResult::kFailed;
    OVERLAPPED ov{};
    ov.hEvent = connected.get();
    BOOL ok = ConnectNamedPipe(instance_.get(), &ov);
    DWORD code = ok ? 0 : GetLastError();
    // A client that came between CreateNamedPipe and ConnectNamedPipe is
    // connected already: it is served, not turned away.
    if (code == ERROR_PIPE_CONNECTED) return handOver(connection);
    if (!ok && code != ERROR_IO_PENDING) {
        instance_.reset();
        return err::setWinError(code), AcceptResult::kFailed;
    }

    HANDLE waits[2] = {connected.get(), stopEvent_.get()};
    bool stopped = WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0;
    if (stopped) CancelIoEx(instance_.get(), &ov);
    DWORD unused = 0;
    ok = GetOverlappedResult(instance_.get(), &ov, &unused, TRUE);  // ov must outlive the operation
    if (stopped) return AcceptResult::kStopped;
    if (!ok) {
        err::setSystemError();
        instance_.reset();
        return AcceptResult::kFailed;
    }
    return handOver(connection);
}

}  // namespace

std::string localPipeAddress(std::string_view name) {
    if (name.size() >= kPipePrefix.size() && name.substr(0, kPipePrefix.size()) == kPipePrefix)
        return std::string(name);
    return std::string(kPipePrefix).append(name);
}

std::unique_ptr<Listener> listenLocalPipe(std::string_view name) {
    std::string address = localPipeAddress(name);
    std::wstring wide = win::widen(address);
    win::Handle instance(createInstance(wide));
    if (!instance.valid()) {
        DWORD code = GetLastError();
        err::setWinError(code);
        // One instance at most: a pipe of that name already served elsewhere is busy.
        err::addErrorContextF(code == ERROR_PIPE_BUSY || code == ERROR_ACCESS_DENIED
                                  ? "named pipe %s is in use by another program"
                                  : "named pipe %s",
                              address.c_str());
        return nullptr;
    }
    win::Handle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent.valid()) return err::setSystemError(), nullptr;
    return std::make_unique<PipeListener>(std::move(wide), std::move(instance), std::move(stopEvent));
}

}  // namespace vek::io
