#pragma once
// The one place that pulls in the Windows headers. Included only by *_win32.cpp.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <setupapi.h>

#include <string>
#include <string_view>

namespace vek::win {

// UTF-8 <-> UTF-16 for Windows calls.
std::wstring widen(std::string_view utf8);
std::string narrow(const wchar_t* utf16, size_t length);
inline std::string narrow(const std::wstring& s) { return narrow(s.data(), s.size()); }

// Owns a HANDLE; INVALID_HANDLE_VALUE and null both mean none.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(Handle&& o) noexcept : h_(o.release()) {}
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE release() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace vek::win
