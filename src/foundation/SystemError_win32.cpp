#include <cstring>
#include <mutex>

#include "foundation/Error.h"
#include "foundation/Format.h"
#include "foundation/SystemError.h"
#include "foundation/Win32.h"

namespace vek::err {

bool setSystemError() {
    setWinError(GetLastError());
    return false;
}

bool setSocketError() {
    setWinError(static_cast<uint32_t>(WSAGetLastError()));
    return false;
}

std::string errnoText(int code) {
    char buffer[512] = {};
    strerror_s(buffer, 511, code);
    return std::string(buffer);
}

namespace {

std::string formatMessage(DWORD flags, HMODULE module, uint32_t code, DWORD language) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(flags, module, code, language, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text) out = win::narrow(text, n);
    if (text) LocalFree(text);
    return out;
}

constexpr DWORD kSystemFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_MAX_WIDTH_MASK;  // 0x13FF

}  // namespace

std::string winErrorText(uint32_t code) {
    std::string text = formatMessage(kSystemFlags, nullptr, code, 0x0409);
    if (text.empty()) text = formatMessage(kSystemFlags, nullptr, code, 0);
    return text;
}

std::string ntStatusText(uint32_t status) {
    using RtlNtStatusToDosErrorFn = ULONG(WINAPI*)(LONG);
    static HMODULE ntdll = nullptr;
    static RtlNtStatusToDosErrorFn toDosError = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll)
            toDosError = reinterpret_cast<RtlNtStatusToDosErrorFn>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    });
    if (toDosError) {
        ULONG converted = toDosError(static_cast<LONG>(status));
        if (converted != ERROR_MR_MID_NOT_FOUND && converted != status) {
            Error e = Error::fromCode(kWinDomain, converted);
            return getErrorDescription(e.ref());
        }
    }
    std::string text;
    if (ntdll) text = formatMessage(kSystemFlags | FORMAT_MESSAGE_FROM_HMODULE, ntdll, status, 0x0409);  // 0x1BFF
    if (text.empty()) text = sl::formatString("ntstatus 0x%08x", status);
    return text;
}

}  // namespace vek::err
