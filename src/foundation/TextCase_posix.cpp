#include <unicode/uchar.h>

#include "foundation/TextCase.h"
#include "foundation/Utf.h"

namespace vek::sl {

std::string toLowerUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) appendUtf8(out, static_cast<char32_t>(u_tolower(decodeUtf8(text, pos))));
    return out;
}

}  // namespace vek::sl
