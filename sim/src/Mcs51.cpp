// The 8051 core. The opcode map is regular from column 4 on: the row is the
// operation, the column the operand (4: A or an immediate, 5: a direct address,
// 6-7: @R0/@R1, 8-F: R0-R7), so `operand` and `regular` serve those 186 opcodes;
// `irregular` has the rest, one case each.
#include "Mcs51.h"

#include <array>
#include <utility>

namespace qwsim {

namespace {

constexpr unsigned bytesOf(unsigned op) {
    unsigned row = op >> 4, col = op & 15;
    switch (col) {
        case 0: return op == 0x00 || row >= 0xE ? 1 : (op == 0x90 || row <= 3) ? 3 : 2;
        case 1: return 2;
        case 2: return op <= 0x12 ? 3 : (op == 0x22 || op == 0x32 || row >= 0xE) ? 1 : 2;
        case 3: return op == 0x43 || op == 0x53 || op == 0x63 ? 3 : 1;
        case 4: return op == 0xB4 ? 3 : (row >= 2 && row <= 7) || row == 9 ? 2 : 1;
        case 5: return op == 0x75 || op == 0x85 || op == 0xB5 || op == 0xD5 ? 3 : op == 0xA5 ? 1 : 2;
        default: break;
    }
    if (row == 0xB) return 3;
    if (row == 7 || row == 8 || row == 0xA || (row == 0xD && col >= 8)) return 2;
    return 1;
}

constexpr unsigned cyclesOf(unsigned op) {
    switch (op) {
        case 0x02: case 0x12: case 0x22: case 0x32:  // LJMP LCALL RET RETI
        case 0x10: case 0x20: case 0x30: case 0xD5:  // JBC JB JNB, DJNZ direct
            return 4;
        case 0x40: case 0x50: case 0x60: case 0x70: case 0x80: case 0x73:  // short jumps, JMP @A+DPTR
        case 0x83: case 0x93: case 0xA3:  // MOVC, INC DPTR
            return 3;
        case 0x84: case 0xA4: return 5;  // DIV, MUL
        case 0xE0: case 0xE2: case 0xE3: case 0xF0: case 0xF2: case 0xF3: return 2;  // MOVX
        default: break;
    }
    if ((op & 15) == 1) return 3;            // AJMP, ACALL
    if ((op >> 4) == 0xB) return 4;          // CJNE
    if ((op >> 4) == 0xD && (op & 15) >= 8) return 3;  // DJNZ Rn
    return bytesOf(op);
}

constexpr auto kCycles = [] {
    std::array<uint8_t, 256> t{};
    for (unsigned op = 0; op < 256; ++op) t[op] = static_cast<uint8_t>(cyclesOf(op));
    return t;
}();

constexpr auto kParityTable = [] {
    std::array<uint8_t, 256> t{};
    for (unsigned v = 0; v < 256; ++v) {
        unsigned p = 0;
        for (unsigned b = v; b; b >>= 1) p ^= b & 1;
        t[v] = static_cast<uint8_t>(p);
    }
    return t;
}();

// Rows whose column 4 works on A (INC, DEC, MOV #, CJNE) rather than on an immediate.
constexpr bool rowUsesA(unsigned row) { return row == 0 || row == 1 || row == 7 || row == 0xB; }

// Opcodes `regular` serves: columns 5-F, and column 4 where it is A or an
// immediate (not DIV, MUL, SWAP, DA, CLR A, CPL A).
constexpr auto kRegular = [] {
    std::array<bool, 256> t{};
    for (unsigned op = 0; op < 256; ++op) {
        unsigned row = op >> 4, col = op & 15;
        t[op] = col >= 5 || (col == 4 && (rowUsesA(row) || (row >= 2 && row <= 6) || row == 9));
    }
    return t;
}();

}  // namespace

Mcs51::Mcs51(const uint8_t* code, Mcs51Bus& bus, uint8_t xpage) : code_(code), bus_(bus), xpage_(xpage) { reset(); }

void Mcs51::reset() {
    for (uint8_t& b : iram_) b = 0;
    for (uint8_t& b : sfr_) b = 0;
    sfr(kSp) = 7;
    for (uint8_t port : {0x80, 0x90, 0xA0, 0xB0}) sfr(port) = 0xFF;
    pc_ = 0;
    cycles_ = 0;
    stopRequested_ = false;
}

Mcs51::Stop Mcs51::run(uint64_t budget) {
    uint64_t end = cycles_ + budget;
    stopRequested_ = false;
    while (cycles_ < end) {
        if (code_[pc_] == kUndefinedOpcode) return Stop::Undefined;
        step();
        if (stopRequested_) return Stop::Requested;
    }
    return Stop::Budget;
}

void Mcs51::step() {
    uint8_t op = code_[pc_];
    if (op == kUndefinedOpcode) return;
    ++pc_;
    cycles_ += kCycles[op];
    if (kRegular[op])
        regular(op);
    else
        irregular(op);
    psw() = static_cast<uint8_t>((psw() & ~kParity) | kParityTable[acc()]);
}

uint16_t Mcs51::fetch16() {
    uint16_t high = fetch();
    return static_cast<uint16_t>(high << 8 | fetch());
}

void Mcs51::setDptr(uint16_t v) {
    sfr(kDph) = static_cast<uint8_t>(v >> 8);
    sfr(kDpl) = static_cast<uint8_t>(v);
}

void Mcs51::setFlag(uint8_t flag, bool on) { psw() = static_cast<uint8_t>(on ? psw() | flag : psw() & ~flag); }

// Bit addresses 0x00-0x7F are the bytes 0x20-0x2F of internal RAM; 0x80-0xFF the
// registers at multiples of 8.
bool Mcs51::bit(uint8_t address) {
    uint8_t byte = address < 0x80 ? iram_[0x20 + (address >> 3)] : sfr_[(address & 0xF8) - 0x80];
    return (byte >> (address & 7)) & 1;
}

void Mcs51::setBit(uint8_t address, bool on) {
    uint8_t& byte = address < 0x80 ? iram_[0x20 + (address >> 3)] : sfr_[(address & 0xF8) - 0x80];
    uint8_t mask = static_cast<uint8_t>(1u << (address & 7));
    byte = static_cast<uint8_t>(on ? byte | mask : byte & ~mask);
}

void Mcs51::push(uint8_t v) { iram_[++sfr(kSp)] = v; }

uint8_t Mcs51::pop() { return iram_[sfr(kSp)--]; }

void Mcs51::relJump(uint8_t offset, bool taken) {
    if (taken) pc_ = static_cast<uint16_t>(pc_ + static_cast<int8_t>(offset));
}

void Mcs51::call(uint16_t target) {
    push(static_cast<uint8_t>(pc_));
    push(static_cast<uint8_t>(pc_ >> 8));
    pc_ = target;
}

void Mcs51::add(uint8_t v, bool carryIn) {
    unsigned a = acc(), c = carryIn ? 1 : 0, r = a + v + c;
    setFlag(kCy, r > 0xFF);
    setFlag(kAc, (a & 15) + (v & 15) + c > 15);
    setFlag(kOv, (~(a ^ v) & (a ^ r) & 0x80) != 0);
    acc() = static_cast<uint8_t>(r);
}

void Mcs51::subb(uint8_t v) {
    unsigned a = acc(), c = carry() ? 1 : 0, r = a - v - c;
    setFlag(kCy, a < v + c);
    setFlag(kAc, (a & 15) < (v & 15) + c);
    setFlag(kOv, ((a ^ v) & (a ^ r) & 0x80) != 0);
    acc() = static_cast<uint8_t>(r);
}

// CJNE: carry when the first is below the second, jump when they differ.
void Mcs51::compareJump(uint8_t a, uint8_t b) {
    uint8_t offset = fetch();
    setFlag(kCy, a < b);
    relJump(offset, a != b);
}

// DA A: each digit above 9 (or with its carry) gets 6 more; the carry is set, never cleared.
void Mcs51::decimalAdjust() {
    unsigned a = acc();
    bool cy = carry();
    if ((a & 15) > 9 || (psw() & kAc)) {
        a += 0x06;
        cy = cy || a > 0xFF;
        a &= 0xFF;
    }
    if ((a >> 4) > 9 || cy) {
        a += 0x60;
        cy = cy || a > 0xFF;
    }
    acc() = static_cast<uint8_t>(a);
    setFlag(kCy, cy);
}

uint8_t* Mcs51::operand(uint8_t op) {
    unsigned col = op & 15;
    if (col >= 8) return reg(col - 8);
    if (col >= 6) return &iram_[*reg(col - 6)];
    if (col == 5) return directCell(fetch());
    if (rowUsesA(op >> 4)) return &acc();
    immediate_ = fetch();
    return &immediate_;
}

void Mcs51::regular(uint8_t op) {
    unsigned col = op & 15;
    uint8_t* p = operand(op);
    switch (op >> 4) {
        case 0x0: ++*p; break;
        case 0x1: --*p; break;
        case 0x2: add(*p, false); break;
        case 0x3: add(*p, carry()); break;
        case 0x4: acc() |= *p; break;
        case 0x5: acc() &= *p; break;
        case 0x6: acc() ^= *p; break;
        case 0x7: *p = fetch(); break;
        case 0x8: {  // MOV direct, operand (0x85: source first, then destination)
            uint8_t v = *p;
            *directCell(fetch()) = v;
            break;
        }
        case 0x9: subb(*p); break;
        case 0xA: *p = direct(fetch()); break;
        case 0xB:
            if (col == 5)
                compareJump(acc(), *p);
            else
                compareJump(*p, fetch());
            break;
        case 0xC: std::swap(acc(), *p); break;
        case 0xD:
            if (col == 6 || col == 7) {  // XCHD A,@Ri
                uint8_t a = acc();
                acc() = static_cast<uint8_t>((a & 0xF0) | (*p & 15));
                *p = static_cast<uint8_t>((*p & 0xF0) | (a & 15));
            } else {
                uint8_t offset = fetch();
                relJump(offset, --*p != 0);
            }
            break;
        case 0xE: acc() = *p; break;
        default: *p = acc(); break;
    }
}

void Mcs51::irregular(uint8_t op) {
    if ((op & 15) == 1) {  // AJMP, ACALL: 11 address bits within the 2 KiB block of the next instruction
        uint8_t low = fetch();
        auto target = static_cast<uint16_t>((pc_ & 0xF800) | (op >> 5) << 8 | low);
        if (op & 0x10)
            call(target);
        else
            pc_ = target;
        return;
    }
    uint8_t a = acc(), b = 0, offset = 0;
    switch (op) {
        case 0x00: break;
        case 0x10:
            b = fetch();
            offset = fetch();
            if (bit(b)) {
                setBit(b, false);
                relJump(offset, true);
            }
            break;
        case 0x20: b = fetch(); relJump(fetch(), bit(b)); break;
        case 0x30: b = fetch(); relJump(fetch(), !bit(b)); break;
        case 0x40: relJump(fetch(), carry()); break;
        case 0x50: relJump(fetch(), !carry()); break;
        case 0x60: relJump(fetch(), a == 0); break;
        case 0x70: relJump(fetch(), a != 0); break;
        case 0x80: relJump(fetch(), true); break;
        case 0x90: setDptr(fetch16()); break;
        case 0xA0: setFlag(kCy, carry() || !bit(fetch())); break;
        case 0xB0: setFlag(kCy, carry() && !bit(fetch())); break;
        case 0xC0: push(direct(fetch())); break;
        case 0xD0: b = fetch(); *directCell(b) = pop(); break;
        case 0xE0: acc() = bus_.readXdata(dptr()); break;
        case 0xF0: bus_.writeXdata(dptr(), a); break;

        case 0x02: pc_ = fetch16(); break;
        case 0x12: call(fetch16()); break;
        case 0x22:
        case 0x32:
            b = pop();
            pc_ = static_cast<uint16_t>(b << 8 | pop());
            break;
        case 0x42: *directCell(fetch()) |= a; break;
        case 0x52: *directCell(fetch()) &= a; break;
        case 0x62: *directCell(fetch()) ^= a; break;
        case 0x72: setFlag(kCy, carry() || bit(fetch())); break;
        case 0x82: setFlag(kCy, carry() && bit(fetch())); break;
        case 0x92: setBit(fetch(), carry()); break;
        case 0xA2: setFlag(kCy, bit(fetch())); break;
        case 0xB2: b = fetch(); setBit(b, !bit(b)); break;
        case 0xC2: setBit(fetch(), false); break;
        case 0xD2: setBit(fetch(), true); break;
        case 0xE2: case 0xE3: acc() = bus_.readXdata(static_cast<uint16_t>(sfr(xpage_) << 8 | *reg(op & 1))); break;
        case 0xF2: case 0xF3: bus_.writeXdata(static_cast<uint16_t>(sfr(xpage_) << 8 | *reg(op & 1)), a); break;

        case 0x03: acc() = static_cast<uint8_t>(a >> 1 | a << 7); break;
        case 0x13: acc() = static_cast<uint8_t>(a >> 1 | (carry() ? 0x80 : 0)); setFlag(kCy, a & 1); break;
        case 0x23: acc() = static_cast<uint8_t>(a << 1 | a >> 7); break;
        case 0x33: acc() = static_cast<uint8_t>(a << 1 | (carry() ? 1 : 0)); setFlag(kCy, a & 0x80); break;
        case 0x43: b = fetch(); *directCell(b) |= fetch(); break;
        case 0x53: b = fetch(); *directCell(b) &= fetch(); break;
        case 0x63: b = fetch(); *directCell(b) ^= fetch(); break;
        case 0x73: pc_ = static_cast<uint16_t>(dptr() + a); break;
        case 0x83: acc() = code_[static_cast<uint16_t>(pc_ + a)]; break;
        case 0x93: acc() = code_[static_cast<uint16_t>(dptr() + a)]; break;
        case 0xA3: setDptr(static_cast<uint16_t>(dptr() + 1)); break;
        case 0xB3: setFlag(kCy, !carry()); break;
        case 0xC3: setFlag(kCy, false); break;
        case 0xD3: setFlag(kCy, true); break;

        case 0x84:  // DIV AB: by zero sets OV and leaves A and B
            b = sfr(kB);
            setFlag(kCy, false);
            setFlag(kOv, b == 0);
            if (b != 0) {
                acc() = static_cast<uint8_t>(a / b);
                sfr(kB) = static_cast<uint8_t>(a % b);
            }
            break;
        case 0xA4: {
            unsigned product = unsigned{a} * sfr(kB);
            acc() = static_cast<uint8_t>(product);
            sfr(kB) = static_cast<uint8_t>(product >> 8);
            setFlag(kCy, false);
            setFlag(kOv, product > 0xFF);
            break;
        }
        case 0xC4: acc() = static_cast<uint8_t>(a << 4 | a >> 4); break;
        case 0xD4: decimalAdjust(); break;
        case 0xE4: acc() = 0; break;
        default: acc() = static_cast<uint8_t>(~a); break;  // 0xF4 CPL A
    }
}

}  // namespace qwsim
