#pragma once
// A GUID in the Windows layout (u32, u16, u16, 8 bytes). On the wire it travels
// little-endian, which is also its in-memory form on every platform we build for.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vek {

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];

    friend bool operator==(const Guid& a, const Guid& b);
};
static_assert(sizeof(Guid) == 16);

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower case, no braces.
std::string guidToString(const Guid& g);

struct GuidHash {
    size_t operator()(const Guid& g) const noexcept;
};

}  // namespace vek
