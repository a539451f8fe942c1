#pragma once
// An MCS-51 (8051) instruction-set core: the 255 defined opcodes, four register
// banks, 256 bytes of internal RAM (the upper half reached indirectly), the
// special function registers and external data through the chip's bus.
//
// The special function registers are plain storage, apart from the parity flag,
// which follows the accumulator. There are no timers, serial port or interrupt
// sources: EA and IE are bits like any other, and RETI returns as RET does.
// What a chip adds (the EZ-USB's USB and I2C registers) lives in external data
// space behind Mcs51Bus.
//
// Cycles are counted as the EZ-USB's 4-clock core counts them: as a rule one per
// instruction byte; jumps, calls, returns, MOVX, MOVC, INC DPTR, MUL and DIV take
// more (kCycles in Mcs51.cpp).
//
// Not thread-safe; the owner drives it from one thread.

#include <cstdint>

namespace qwsim {

// External data space. Called from inside an instruction; a handler may call
// Mcs51::requestStop.
class Mcs51Bus {
public:
    virtual uint8_t readXdata(uint16_t address) = 0;
    virtual void writeXdata(uint16_t address, uint8_t value) = 0;

protected:
    ~Mcs51Bus() = default;
};

class Mcs51 {
public:
    // Special function registers the core itself uses.
    static constexpr uint8_t kSp = 0x81, kDpl = 0x82, kDph = 0x83, kP2 = 0xA0, kIe = 0xA8, kPsw = 0xD0,
                             kAcc = 0xE0, kB = 0xF0;
    // PSW bits.
    static constexpr uint8_t kCy = 0x80, kAc = 0x40, kOv = 0x04, kParity = 0x01, kBankBits = 0x18;
    static constexpr uint8_t kUndefinedOpcode = 0xA5;

    enum class Stop { Budget, Requested, Undefined };

    // `code` is the 64 KiB the core fetches from and MOVC reads, owned by the
    // caller. `xpage` is the register that gives MOVX @Ri its high address byte
    // (P2 on a plain 8051, MPAGE on the EZ-USB).
    Mcs51(const uint8_t* code, Mcs51Bus& bus, uint8_t xpage = kP2);

    // The state after a hardware reset: PC 0, SP 7, bank 0, ports 0xFF, the rest 0.
    void reset();
    // One instruction. An undefined opcode does not advance: the core stays on it.
    void step();
    // Steps until `budget` more cycles have passed, a bus handler asked to stop,
    // or the next opcode is undefined.
    Stop run(uint64_t budget);
    void requestStop() { stopRequested_ = true; }

    uint64_t cycles() const { return cycles_; }
    uint16_t pc() const { return pc_; }
    void setPc(uint16_t pc) { pc_ = pc; }
    // Direct addresses: 0x00-0x7F internal RAM, 0x80-0xFF special function registers.
    uint8_t direct(uint8_t address) const { return address < 0x80 ? iram_[address] : sfr_[address - 0x80]; }
    void setDirect(uint8_t address, uint8_t value) { *directCell(address) = value; }
    // Indirect addresses: the whole internal RAM.
    uint8_t iram(uint8_t address) const { return iram_[address]; }
    void setIram(uint8_t address, uint8_t value) { iram_[address] = value; }

private:
    uint8_t* directCell(uint8_t a) { return a < 0x80 ? &iram_[a] : &sfr_[a - 0x80]; }
    uint8_t& sfr(uint8_t a) { return sfr_[a - 0x80]; }
    uint8_t& acc() { return sfr_[kAcc - 0x80]; }
    uint8_t& psw() { return sfr_[kPsw - 0x80]; }
    uint8_t* reg(unsigned n) { return &iram_[(psw() & kBankBits) + n]; }
    uint8_t fetch() { return code_[pc_++]; }
    uint16_t fetch16();
    uint16_t dptr() { return static_cast<uint16_t>(sfr(kDph) << 8 | sfr(kDpl)); }
    void setDptr(uint16_t v);
    bool carry() { return (psw() & kCy) != 0; }
    void setFlag(uint8_t flag, bool on);
    bool bit(uint8_t address);
    void setBit(uint8_t address, bool on);
    void push(uint8_t v);
    uint8_t pop();
    void relJump(uint8_t offset, bool taken);
    void call(uint16_t target);
    void add(uint8_t v, bool carryIn);
    void subb(uint8_t v);
    void compareJump(uint8_t a, uint8_t b);
    void decimalAdjust();

    uint8_t* operand(uint8_t op);
    void regular(uint8_t op);
    void irregular(uint8_t op);

    const uint8_t* code_;
    Mcs51Bus& bus_;
    uint8_t xpage_;
    uint8_t iram_[256] = {};
    uint8_t sfr_[128] = {};
    uint8_t immediate_ = 0;  // where an immediate operand is read from
    uint16_t pc_ = 0;
    uint64_t cycles_ = 0;
    bool stopRequested_ = false;
};

}  // namespace qwsim
