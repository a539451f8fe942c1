#pragma once

#include <string>
#include <string_view>

namespace vek::sl {

// Simple Unicode lower-case mapping of each code point of a UTF-8 text.
std::string toLowerUtf8(std::string_view text);

}  // namespace vek::sl
