#pragma once
// The operating system's side of the error model: capturing the failure of the
// last system call and the system's texts for error codes.

#include <cstdint>
#include <string>

namespace vek::err {

// Stores the last system failure of this thread: errno in the errno domain on
// POSIX, GetLastError in the Windows domain on Windows. Returns false so platform
// code can write `return setSystemError();`.
bool setSystemError();
// The same for a socket call: errno on POSIX, WSAGetLastError on Windows.
bool setSocketError();

// The C library's text for an errno value.
std::string errnoText(int code);
// The system's text for a Win32 code or HRESULT; empty when the system has none.
std::string winErrorText(uint32_t code);
// The text for an NTSTATUS; "ntstatus 0x%08x" when the system has none.
std::string ntStatusText(uint32_t status);

}  // namespace vek::err
