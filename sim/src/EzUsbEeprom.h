#pragma once
// The serial EEPROM an EZ-USB chip boots from: a 24-series part on the chip's
// I2C bus. Writes go to the page of their address, wrapping inside it (as the
// parts do when a write runs past the page's end); sequential reads roll over at
// the end of the part; addresses are taken modulo its size. Erased cells read 0xFF.
//
// Two ways in: `write` and `read` serve a stand-in for the loader directly, one
// call a write cycle; the I2C side (`start`, `receive`, `transmit`, `stop`)
// serves the chip's emulated I2C master bit for bit as the bus carries it:
//   two-byte addressing: device address 0x51, address high and low byte;
//   one-byte addressing: device address 0x50, the bits above the low 8 of the
//     address in the device address's low bits (parts up to 2 KiB);
// and after the STOP that ends a write with data, a write cycle during which
// the part acknowledges nothing. In a read the part sends byte after byte for
// as long as the master acknowledges them: after an acknowledge it drives the
// first bit of the next byte onto SDA at once, and a 0 there holds the line low,
// so that the master can make neither a STOP nor a START until it has clocked
// the byte out and left it unacknowledged. Only a byte the master leaves
// unacknowledged lets the part release the bus.
//
// Called with the simulator's lock held (EzUsbModel.h).

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qwsim {

// Time on the chip's side: clocks of the EZ-USB's 48 MHz oscillator.
using ChipTime = int64_t;
constexpr ChipTime kChipClocksPerUs = 48;

class EzUsbEeprom {
public:
    static constexpr uint64_t kDefaultSize = 16 * 1024;
    static constexpr uint64_t kDefaultPage = 64;
    static constexpr uint64_t kDefaultWriteTimeUs = 5000;  // the 24LC parts' longest write cycle
    static constexpr uint8_t kOneByteDevice = 0x50, kTwoByteDevice = 0x51;

    struct Shape {
        uint64_t size = kDefaultSize;
        uint64_t page = kDefaultPage;
        unsigned addressBytes = 2;
        uint64_t writeTimeUs = kDefaultWriteTimeUs;
    };
    // Powers of two: a size up to 64 KiB (2 KiB with one address byte), a page up
    // to the size. Empty when taken, else the complaint.
    std::string configure(const Shape& shape);
    const Shape& shape() const { return shape_; }
    // The read of `address` gives the stored byte XOR mask; the cell stays intact.
    void addReadFault(uint16_t address, uint8_t mask) { readFaults_[cell(address)] ^= mask; }

    // One write cycle: data goes to the page of `address`, wrapping inside it.
    void write(uint16_t address, const uint8_t* data, size_t n);
    void read(uint16_t address, uint8_t* out, size_t n) const;

    // The I2C side. After a START (or repeated START) the device address byte,
    // bit 0 set for a read: true when the part acknowledges it.
    bool start(uint8_t deviceByte, ChipTime now);
    // A byte the master writes: true when acknowledged.
    bool receive(uint8_t byte);
    // The next byte of a read, and whether the master acknowledges it.
    uint8_t transmit(bool acknowledged);
    // The part holds SDA low: a STOP or START condition cannot be made.
    bool holdsDataLine() const;
    // A STOP (only while the part leaves SDA free): a write that carried data
    // starts its write cycle now.
    void stop(ChipTime now);

    const std::vector<uint8_t>& cells() const { return cells_; }

private:
    // Reading: the part is sending a byte (from the read's START on, and after
    // each byte the master acknowledged).
    enum class Phase { Idle, AddressHigh, AddressLow, Data, Reading };

    size_t cell(size_t address) const { return address & (cells_.size() - 1); }
    uint8_t faulty(size_t at) const;

    Shape shape_;
    std::vector<uint8_t> cells_ = std::vector<uint8_t>(kDefaultSize, 0xFF);
    std::map<size_t, uint8_t> readFaults_;

    Phase phase_ = Phase::Idle;
    size_t counter_ = 0;   // the part's address counter
    size_t high_ = 0;  // the address bits above the low 8: the high byte, or the device address's low bits
    std::vector<uint8_t> pending_;  // a write's data until its STOP
    ChipTime busyUntil_ = 0;
};

}  // namespace qwsim
