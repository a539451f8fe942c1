#pragma once
// UTF-8 code points one at a time (Windows calls convert through Win32.h's
// widen/narrow). Invalid input becomes U+FFFD; nothing fails.

#include <string>
#include <string_view>

namespace vek::sl {

// Decodes one code point at `pos` and advances it; malformed input yields U+FFFD.
char32_t decodeUtf8(std::string_view s, size_t& pos);
void appendUtf8(std::string& out, char32_t cp);

}  // namespace vek::sl
