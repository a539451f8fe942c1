#pragma once
// printf-style formatting into a std::string.

#include <cstdarg>
#include <string>

namespace vek::sl {

#if defined(__MINGW32__)
#define VEK_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define VEK_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

std::string formatString(const char* format, ...) VEK_PRINTF_FORMAT(1, 2);
std::string formatStringV(const char* format, va_list args);

}  // namespace vek::sl
