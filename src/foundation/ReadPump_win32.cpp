#include "foundation/ReadPump_win32.h"

#include <algorithm>
#include <cstring>

#include "foundation/Error.h"
#include "foundation/SystemError.h"

namespace vek::io {

std::shared_ptr<ReadPump> ReadPump::start(HANDLE source) {
    HANDLE self = GetCurrentProcess();
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(self, source, self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        err::setSystemError();
        return nullptr;
    }
    auto pump = std::make_shared<ReadPump>();
    pump->handle_ = duplicate;
    // The thread holds a reference of its own: it may outlive the stream.
    auto ref = std::make_unique<std::shared_ptr<ReadPump>>(pump);
    std::lock_guard<std::mutex> hold(pump->mutex_);
    HANDLE thread = CreateThread(nullptr, 0, &ReadPump::threadMain, ref.get(), 0, nullptr);
    if (!thread) {
        err::setSystemError();
        CloseHandle(duplicate);
        pump->handle_ = INVALID_HANDLE_VALUE;
        return nullptr;
    }
    ref.release();  // the thread owns it now
    pump->thread_.reset(thread);
    return pump;
}

ReadPump::~ReadPump() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

DWORD WINAPI ReadPump::threadMain(void* param) {
    std::unique_ptr<std::shared_ptr<ReadPump>> ref(static_cast<std::shared_ptr<ReadPump>*>(param));
    (*ref)->run();
    return 0;
}

void ReadPump::run() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        changed_.wait(hold, [this] { return wanted_ > 0 || closed_; });
        if (closed_) break;
        DWORD wanted = wanted_;
        // buffer_ is ours while a request is open: the reader waits for the answer.
        hold.unlock();
        DWORD got = 0;
        BOOL ok = ReadFile(handle_, buffer_.data(), wanted, &got, nullptr);
        DWORD code = ok ? 0 : GetLastError();
        hold.lock();
        wanted_ = 0;
        if (closed_) break;
        if (ok && got > 0) {
            begin_ = 0;
            end_ = got;
        } else if (ok || code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) {
            // A pipe whose writer has gone reports ERROR_BROKEN_PIPE: that is its end.
            ended_ = true;
        } else {
            error_ = code;
        }
        changed_.notify_all();
        if (ended_ || error_) break;
    }
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

size_t ReadPump::read(void* buffer, size_t size) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (begin_ == end_ && !ended_ && !error_ && !closed_) {
        wanted_ = static_cast<DWORD>(std::min(size, kCapacity));
        changed_.notify_all();
        changed_.wait(hold, [this] { return begin_ < end_ || ended_ || error_ || closed_; });
    }
    if (closed_) return 0;
    if (begin_ < end_) {
        size_t n = std::min(size, end_ - begin_);
        std::memcpy(buffer, buffer_.data() + begin_, n);
        begin_ += n;
        return n;
    }
    if (error_) {
        err::setWinError(error_);
        return ~size_t{0};
    }
    return 0;
}

void ReadPump::close() {
    std::lock_guard<std::mutex> hold(mutex_);
    closed_ = true;
    changed_.notify_all();
    // Best effort: where the system can cancel the pump's read, its duplicate
    // goes now rather than when the read returns by itself.
    if (handle_ != INVALID_HANDLE_VALUE) CancelIoEx(handle_, nullptr);
    if (thread_.valid()) CancelSynchronousIo(thread_.get());
}

}  // namespace vek::io
