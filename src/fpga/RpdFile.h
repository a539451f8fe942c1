#pragma once
// An FPGA configuration file (*.rpd), read whole: a 32-byte header, then the
// configuration payload as 32-bit words ("atoms"). Little-endian.
//
//   offset  size  content
//   0       4     not interpreted
//   4       4     file version, four numbers in file order
//   8       8     not interpreted
//   16      16    tag text, up to its first NUL
//   32      rest  payload

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class RpdFile {
public:
    static constexpr size_t kHeaderSize = 32;
    static constexpr size_t kAtomSize = 4;

    // Reads the whole file. False with the last error set: the system's error when
    // it cannot be read, a text error when it is shorter than its header.
    bool load(std::string_view path);
    void close();

    bool empty() const { return bytes_.empty(); }
    uint64_t size() const { return bytes_.size(); }
    const uint8_t* data() const { return bytes_.data(); }
    std::array<uint8_t, 4> version() const;
    std::string tag() const;

private:
    std::vector<uint8_t> bytes_;
};
