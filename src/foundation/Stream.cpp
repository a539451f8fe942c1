#include "foundation/Stream.h"
#include "foundation/ThreadSlot.h"

#include <cstring>
#include <vector>

namespace vek::io {

ConstBytes joinParts(const ConstBytes* parts, size_t count) {
    if (count == 1) return parts[0];
    static const sys::ThreadSlot<std::vector<uint8_t>> slot;
    std::vector<uint8_t>& joined = slot.get();
    joined.clear();
    for (size_t i = 0; i < count; ++i) {
        auto p = static_cast<const uint8_t*>(parts[i].data);
        joined.insert(joined.end(), p, p + parts[i].size);
    }
    return {joined.data(), joined.size()};
}

size_t Stream::writeParts(const ConstBytes* parts, size_t count) {
    ConstBytes all = joinParts(parts, count);
    return write(all.data, all.size);
}

}  // namespace vek::io
