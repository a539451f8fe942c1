#include "foundation/Guid.h"

#include <cstring>

#include "foundation/Format.h"

namespace vek {

bool operator==(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0; }

std::string guidToString(const Guid& g) {
    return sl::formatString("%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.data1, g.data2, g.data3,
                            g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                            g.data4[7]);
}

size_t GuidHash::operator()(const Guid& g) const noexcept {
    // The key is compared as four u32 words; fold them the same way.
    uint32_t w[4];
    std::memcpy(w, &g, sizeof w);
    uint64_t h = 1469598103934665603ull;
    for (uint32_t x : w) h = (h ^ x) * 1099511628211ull;
    return static_cast<size_t>(h);
}

}  // namespace vek
