#include "EzUsbEeprom.h"

namespace qwsim {

namespace {

bool powerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

std::string EzUsbEeprom::configure(const Shape& shape) {
    uint64_t top = shape.addressBytes == 1 ? 2048 : 65536;
    if (!powerOfTwo(shape.size) || shape.size > top || !powerOfTwo(shape.page) || shape.page > shape.size ||
        (shape.addressBytes != 1 && shape.addressBytes != 2) || shape.writeTimeUs > 10'000'000)
        return "expected 'eeprom SIZE [page=N] [addressing=1|2] [write-time=US]': powers of two, SIZE up to 64K "
               "(2K with one address byte), N up to SIZE, a write time up to 10 s";
    shape_ = shape;
    cells_.assign(shape.size, 0xFF);
    return {};
}

void EzUsbEeprom::write(uint16_t address, const uint8_t* data, size_t n) {
    size_t at = cell(address), page = shape_.page;
    size_t start = at & ~(page - 1);
    for (size_t i = 0; i < n; ++i) cells_[start + (at - start + i) % page] = data[i];
}

uint8_t EzUsbEeprom::faulty(size_t at) const {
    auto fault = readFaults_.find(at);
    return cells_[at] ^ (fault == readFaults_.end() ? 0 : fault->second);
}

void EzUsbEeprom::read(uint16_t address, uint8_t* out, size_t n) const {
    for (size_t i = 0; i < n; ++i) out[i] = faulty(cell(address + i));
}

bool EzUsbEeprom::start(uint8_t deviceByte, ChipTime now) {
    pending_.clear();  // a repeated START drops a write not yet stopped
    phase_ = Phase::Idle;
    if (now < busyUntil_) return false;
    unsigned device = deviceByte >> 1;
    unsigned blockBits = shape_.addressBytes == 1 && shape_.size > 256 ? static_cast<unsigned>(shape_.size / 256 - 1) : 0;
    unsigned own = shape_.addressBytes == 1 ? kOneByteDevice : kTwoByteDevice;
    if ((device & ~blockBits) != own) return false;
    if (deviceByte & 1) {
        phase_ = Phase::Reading;
        return true;
    }
    high_ = device & blockBits;
    phase_ = shape_.addressBytes == 2 ? Phase::AddressHigh : Phase::AddressLow;
    return true;
}

bool EzUsbEeprom::receive(uint8_t byte) {
    switch (phase_) {
        case Phase::AddressHigh:
            high_ = byte;
            phase_ = Phase::AddressLow;
            return true;
        case Phase::AddressLow:
            counter_ = cell(high_ << 8 | byte);
            phase_ = Phase::Data;
            return true;
        case Phase::Data:
            pending_.push_back(byte);
            return true;
        default:
            return false;  // nobody listens
    }
}

uint8_t EzUsbEeprom::transmit(bool acknowledged) {
    if (phase_ != Phase::Reading) return 0xFF;  // a released bus reads high
    uint8_t v = faulty(counter_);
    counter_ = cell(counter_ + 1);
    if (!acknowledged) phase_ = Phase::Idle;  // lets go of SDA; waits for a STOP or START
    return v;
}

bool EzUsbEeprom::holdsDataLine() const {
    constexpr uint8_t kFirstBit = 0x80;  // bytes go out most significant bit first
    return phase_ == Phase::Reading && (faulty(counter_) & kFirstBit) == 0;
}

void EzUsbEeprom::stop(ChipTime now) {
    if (holdsDataLine()) return;  // SDA stays low: no STOP condition reaches the part
    if (phase_ == Phase::Data && !pending_.empty()) {
        write(static_cast<uint16_t>(counter_), pending_.data(), pending_.size());
        size_t page = shape_.page, start = counter_ & ~(page - 1);
        counter_ = start + (counter_ - start + pending_.size()) % page;
        busyUntil_ = now + static_cast<ChipTime>(shape_.writeTimeUs) * kChipClocksPerUs;
    }
    pending_.clear();
    phase_ = Phase::Idle;
}

}  // namespace qwsim
