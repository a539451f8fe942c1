#pragma once
// The serial EEPROM an EZ-USB chip boots from, as its I2C master reaches it:
// two address bytes, a write cycle per page that wraps inside its page (as the
// parts do when a write runs past the page's end), sequential reads that roll
// over at the end of the part, and addresses taken modulo its size. Erased
// cells read 0xFF.
//
// Called by whatever serves the loader's requests (EzUsbModel.h), with the
// simulator's lock held.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qwsim {

class EzUsbEeprom {
public:
    static constexpr uint64_t kDefaultSize = 16 * 1024;
    static constexpr uint64_t kDefaultPage = 64;

    // Powers of two: a size up to 64 KiB (two address bytes), a page up to the size.
    // Empty when taken, else the complaint.
    std::string configure(uint64_t size, uint64_t page);
    // The read of `address` gives the stored byte XOR mask; the cell stays intact.
    void addReadFault(uint16_t address, uint8_t mask) { readFaults_[cell(address)] ^= mask; }

    // One write cycle: data goes to the page of `address`, wrapping inside it.
    void write(uint16_t address, const uint8_t* data, size_t n);
    void read(uint16_t address, uint8_t* out, size_t n) const;

    const std::vector<uint8_t>& cells() const { return cells_; }

private:
    size_t cell(size_t address) const { return address & (cells_.size() - 1); }

    std::vector<uint8_t> cells_ = std::vector<uint8_t>(kDefaultSize, 0xFF);
    size_t page_ = kDefaultPage;
    std::map<size_t, uint8_t> readFaults_;
};

}  // namespace qwsim
