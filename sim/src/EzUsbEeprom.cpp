#include "EzUsbEeprom.h"

namespace qwsim {

namespace {

bool powerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

std::string EzUsbEeprom::configure(uint64_t size, uint64_t page) {
    if (!powerOfTwo(size) || size > 65536 || !powerOfTwo(page) || page > size)
        return "expected 'eeprom SIZE [page=N]': powers of two, SIZE up to 64K, N up to SIZE";
    cells_.assign(size, 0xFF);
    page_ = page;
    return {};
}

void EzUsbEeprom::write(uint16_t address, const uint8_t* data, size_t n) {
    size_t at = cell(address);
    size_t start = at & ~(page_ - 1);
    for (size_t i = 0; i < n; ++i) cells_[start + (at - start + i) % page_] = data[i];
}

void EzUsbEeprom::read(uint16_t address, uint8_t* out, size_t n) const {
    for (size_t i = 0; i < n; ++i) {
        size_t at = cell(address + i);
        auto fault = readFaults_.find(at);
        out[i] = cells_[at] ^ (fault == readFaults_.end() ? 0 : fault->second);
    }
}

}  // namespace qwsim
