#pragma once
// UTF-8 <-> UTF-16 conversion. Invalid input becomes U+FFFD; nothing fails.

#include <string>
#include <string_view>

namespace vek::sl {

std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

// Decodes one code point at `pos` and advances it; malformed input yields U+FFFD.
char32_t decodeUtf8(std::string_view s, size_t& pos);
void appendUtf8(std::string& out, char32_t cp);

}  // namespace vek::sl
