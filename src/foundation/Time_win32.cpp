#include "foundation/Time.h"
#include "foundation/Win32.h"

namespace vek::sys {

namespace {

using GetTimeFn = VOID(WINAPI*)(LPFILETIME);

// GetSystemTimePreciseAsFileTime exists from Windows 8; look it up once.
GetTimeFn pickTimeSource() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC precise = kernel ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
    return precise ? reinterpret_cast<GetTimeFn>(reinterpret_cast<void*>(precise)) : &GetSystemTimeAsFileTime;
}

}  // namespace

uint64_t systemTime() {
    static const GetTimeFn source = pickTimeSource();
    FILETIME ft;
    source(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace vek::sys
