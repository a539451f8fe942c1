// Any text as the EZ-USB loader's Intel HEX: the parser fails with its error or
// gives an image of the size it returns, never above the limit, and never
// touches memory outside the text or the image (the sanitizers watch).
//
// Input: the text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "ezusb/IntelHex.h"
#include "foundation/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes, so a read past the text is caught.
    std::vector<char> text(data, data + size);
    std::vector<uint8_t> image;
    size_t n = parseIntelHex(std::string_view(text.data(), text.size()), image);
    if (n == kIntelHexFailed) {
        if (vek::err::getLastErrorDescription().empty()) abort();
        return 0;
    }
    if (n > kIntelHexLimit || image.size() != n) abort();
    return 0;
}
