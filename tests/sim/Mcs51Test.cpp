// The 8051 core: each instruction group on small programs with hand-worked
// results, and an sdcc-built program (firmware/mcs51test.c) with known ones.
#include <gtest/gtest.h>

#include <vector>

#include "Mcs51.h"
#include "ezusb/IntelHex.h"

namespace {

using qwsim::Mcs51;
using Bytes = std::vector<uint8_t>;

// Code and external data apart, so MOVX and MOVC show which they reach. A write
// to kStopAt stops the core.
struct Machine : qwsim::Mcs51Bus {
    static constexpr uint16_t kStopAt = 0x3000 + 42;  // `done` of the sdcc program's results
    Bytes code = Bytes(65536, 0);
    Bytes xdata = Bytes(65536, 0);
    Mcs51 core{code.data(), *this};

    uint8_t readXdata(uint16_t a) override { return xdata[a]; }
    void writeXdata(uint16_t a, uint8_t v) override {
        xdata[a] = v;
        if (a == kStopAt) core.requestStop();
    }
    // Steps from 0 until the PC leaves the program's end (at most 200 steps).
    void run(const Bytes& program) {
        std::copy(program.begin(), program.end(), code.begin());
        for (int i = 0; i < 200 && core.pc() != program.size(); ++i) core.step();
        EXPECT_EQ(core.pc(), program.size());
    }
};

// What a case checks: a direct address, an indirect one (I), external data (X)
// or the cycle count.
constexpr int I(int a) { return 0x100 + a; }
constexpr int X(int a) { return 0x10000 + a; }
constexpr int kCycles = -1;
constexpr int A = Mcs51::kAcc, B = Mcs51::kB, PSW = Mcs51::kPsw, SP = Mcs51::kSp;

TEST(Mcs51, InstructionGroups) {
    const std::tuple<const char*, Bytes, std::vector<std::pair<int, int>>> cases[] = {  // case, program, results
        // Flags: PSW is CY AC F0 RS1 RS0 OV - P, with P the accumulator's parity.
        {"ADD overflow and half carry", {0x74, 0x7F, 0x24, 0x01}, {{A, 0x80}, {PSW, 0x45}}},
        {"ADD carry out", {0x74, 0xFF, 0x24, 0x01}, {{A, 0x00}, {PSW, 0xC0}}},
        {"ADDC with carry in", {0xD3, 0x74, 0x0F, 0x34, 0xF0}, {{A, 0x00}, {PSW, 0xC0}}},
        {"SUBB overflow and borrow from bit 4", {0xC3, 0x74, 0x80, 0x94, 0x01}, {{A, 0x7F}, {PSW, 0x45}}},
        {"SUBB borrow in and out", {0xD3, 0x74, 0x00, 0x94, 0x00}, {{A, 0xFF}, {PSW, 0xC0}}},
        {"MUL high byte sets OV", {0x74, 0x50, 0x75, 0xF0, 0xA0, 0xA4}, {{A, 0x00}, {B, 0x32}, {PSW, 0x04}}},
        {"DIV", {0xD3, 0x74, 0xFB, 0x75, 0xF0, 0x12, 0x84}, {{A, 0x0D}, {B, 0x11}, {PSW, 0x01}}},
        {"DIV by zero sets OV, keeps A and B", {0x74, 0x07, 0x75, 0xF0, 0x00, 0x84}, {{A, 7}, {B, 0}, {PSW, 0x05}}},
        {"INC and DEC wrap, no flags", {0x78, 0xFF, 0x08, 0x18, 0x18}, {{0x00, 0xFE}, {PSW, 0x00}}},
        // DA A: 56 + 67 = 123, 9 + 9 = 18, 99 + 99 + 1 = 199 in BCD.
        {"DA both digits, carry out", {0x74, 0x56, 0x24, 0x67, 0xD4}, {{A, 0x23}, {PSW, 0x85}}},
        {"DA from half carry", {0x74, 0x09, 0x24, 0x09, 0xD4}, {{A, 0x18}, {PSW, 0x40}}},
        {"DA keeps the carry", {0xD3, 0x74, 0x99, 0x34, 0x99, 0xD4}, {{A, 0x99}, {PSW, 0xC4}}},
        // Bits 0x00-0x7F are RAM 0x20-0x2F, the rest registers at multiples of 8.
        {"SETB, CPL, JBC on RAM and ACC bits", {0xD2, 0x00, 0xD2, 0x7F, 0xD2, 0xE7, 0xB2, 0x01, 0x10, 0x00, 0x00},
         {{0x20, 0x02}, {0x2F, 0x80}, {A, 0x80}}},
        {"carry logic: ORL C,/bit, ANL C,/bit, MOV bit,C", {0xC3, 0xA0, 0x00, 0x92, 0x08, 0xB0, 0x08, 0x92, 0x09},
         {{0x21, 0x01}, {PSW, 0x00}}},
        {"RLC, RRC through the carry", {0xC3, 0x74, 0x81, 0x33, 0xF5, 0x30, 0x13}, {{0x30, 0x02}, {A, 0x81}, {PSW, 0x00}}},
        {"ORL, ANL, XRL direct with immediates",
         {0x75, 0x30, 0xF0, 0x43, 0x30, 0x0F, 0x53, 0x30, 0x3C, 0x63, 0x30, 0xFF}, {{0x30, 0xC3}}},
        {"XCHD and SWAP", {0x74, 0x12, 0x78, 0x40, 0x76, 0x34, 0xD6, 0xC4}, {{A, 0x41}, {0x40, 0x32}}},
        {"MOV direct,direct takes the source first", {0x75, 0x30, 0x77, 0x85, 0x30, 0x31}, {{0x31, 0x77}}},
        // Bank 3's R0 is RAM 0x18; @R0 reaches the upper 128 bytes, not the registers there.
        {"register bank and indirect upper RAM", {0x75, 0xD0, 0x18, 0x78, 0xC0, 0x76, 0xAB, 0xE6},
         {{0x18, 0xC0}, {I(0xC0), 0xAB}, {0xC0, 0x00}, {A, 0xAB}, {PSW, 0x19}}},
        {"MOVX @DPTR", {0x90, 0x12, 0x34, 0x74, 0x5A, 0xF0, 0xE4, 0xE0}, {{X(0x1234), 0x5A}, {A, 0x5A}}},
        {"MOVX @Ri pages with P2", {0x75, 0xA0, 0x20, 0x78, 0x10, 0x74, 0x77, 0xF2, 0xE4, 0xE2},
         {{X(0x2010), 0x77}, {A, 0x77}}},
        {"MOVC @A+PC", {0x74, 0x02, 0x83, 0x80, 0x02, 0xAA, 0xBB}, {{A, 0xAA}}},
        {"MOVC @A+DPTR reads code, not data", {0x90, 0x00, 0x08, 0x74, 0x01, 0x93, 0x80, 0x02, 0x11, 0x22}, {{A, 0x22}}},
        {"LCALL and RET through the stack", {0x12, 0x00, 0x07, 0x80, 0x05, 0x00, 0x00, 0x74, 0x42, 0x22},
         {{A, 0x42}, {SP, 0x07}, {0x08, 0x03}, {0x09, 0x00}}},
        {"ACALL", {0x11, 0x06, 0x80, 0x05, 0x00, 0x00, 0x74, 0x33, 0x22}, {{A, 0x33}, {0x08, 0x02}}},
        {"DJNZ loop", {0x78, 0x05, 0xE4, 0x28, 0xD8, 0xFD}, {{A, 15}, {0x00, 0}, {kCycles, 2 + 1 + 5 * (1 + 3)}}},
        {"CJNE sets carry when below", {0x74, 0x10, 0xB4, 0x20, 0x00}, {{PSW, 0x81}}},
        {"CJNE equal: no jump, no carry", {0x74, 0x20, 0xB4, 0x20, 0x7F}, {{PSW, 0x01}}},
        {"JMP @A+DPTR", {0x90, 0x00, 0x06, 0x74, 0x02, 0x73, 0x00, 0x00, 0x74, 0x99}, {{A, 0x99}}},
        {"JZ taken, JNZ not", {0xE4, 0x60, 0x02, 0x74, 0x01, 0x70, 0x02, 0x74, 0x02}, {{A, 0x02}}},
        {"PUSH and POP", {0x75, 0x81, 0x30, 0x74, 0x5C, 0xC0, 0xE0, 0xE4, 0xD0, 0xF0},
         {{B, 0x5C}, {SP, 0x30}, {I(0x31), 0x5C}}},
        // No interrupt sources: enabling every interrupt changes nothing, RETI returns.
        {"interrupts off, RETI as RET", {0x75, 0xA8, 0xFF, 0x12, 0x00, 0x08, 0x80, 0x01, 0x32}, {{0xA8, 0xFF}, {SP, 7}}},
        {"cycles: NOP, LJMP, MOVX, MOVC, MUL", {0x00, 0x02, 0x00, 0x04, 0xE0, 0x93, 0xA4}, {{kCycles, 1 + 4 + 2 + 3 + 5}}},
    };
    for (const auto& [what, program, expected] : cases) {
        Machine m;
        m.run(program);
        for (auto [where, value] : expected) {
            int got = where == kCycles   ? static_cast<int>(m.core.cycles())
                      : where >= X(0)    ? m.xdata[static_cast<size_t>(where - X(0))]
                      : where >= I(0)    ? m.core.iram(static_cast<uint8_t>(where - I(0)))
                                         : m.core.direct(static_cast<uint8_t>(where));
            EXPECT_EQ(got, value) << what << " at " << where;
        }
    }
}

TEST(Mcs51, JumpsWithinTheBlockAndStopsAtTheUndefinedOpcode) {
    Machine m;
    m.code[0x07FE] = 0x01;  // AJMP 0x010 from the block's last word lands in the next block
    m.code[0x07FF] = 0x10;
    m.code[0x0810] = Mcs51::kUndefinedOpcode;
    m.core.setPc(0x07FE);
    EXPECT_EQ(m.core.run(100), Mcs51::Stop::Undefined);
    EXPECT_EQ(m.core.pc(), 0x0810);
    EXPECT_EQ(m.core.cycles(), 3u);
    m.core.step();
    EXPECT_EQ(m.core.pc(), 0x0810);
    m.code[0x0810] = 0x80;  // SJMP to itself spends the budget
    m.code[0x0811] = 0xFE;
    EXPECT_EQ(m.core.run(30), Mcs51::Stop::Budget);
    EXPECT_EQ(m.core.cycles(), 33u);
}

TEST(Mcs51, RunsWhatSdccMakes) {
    const char kProgram[] =
#include "Mcs51TestProgram.inc"
        ;
    Bytes image;
    ASSERT_NE(parseIntelHex(kProgram, image), kIntelHexFailed);
    Machine m;
    std::copy(image.begin(), image.end(), m.code.begin());
    ASSERT_EQ(m.core.run(2'000'000), Mcs51::Stop::Requested);
    auto le = [&](size_t at, size_t n) {
        uint32_t v = 0;
        for (size_t i = n; i-- > 0;) v = v << 8 | m.xdata[0x3000 + at + i];
        return v;
    };
    EXPECT_EQ(le(0, 2), 0x29B1u);                 // CRC-16/CCITT of "123456789"
    EXPECT_EQ(le(2, 2), 610u);                    // fib(15), recursively
    EXPECT_EQ(le(4, 4), 123456u);                 // 123456789 / 1000
    EXPECT_EQ(le(8, 2), 789u);                    // and % 1000
    EXPECT_EQ(le(10, 2), 0xFFFDu);                // -7 / 2
    EXPECT_EQ(le(12, 2), 0xFFFFu);                // -7 % 2
    EXPECT_EQ(le(14, 2), 3375u);                  // 1.5 * 2.25 * 1000
    EXPECT_EQ(le(16, 4), 0x5964BAABu);            // 0xDEADBEEF * 5
    EXPECT_EQ(Bytes(m.xdata.begin() + 0x3014, m.xdata.begin() + 0x301E),
              (Bytes{10, 21, 32, 43, 54, 65, 76, 87, 98, 0}));  // a jump table
    EXPECT_EQ(Bytes(m.xdata.begin() + 0x301E, m.xdata.begin() + 0x3026), (Bytes{0, 7, 7, 19, 42, 64, 128, 255}));
    EXPECT_EQ(Bytes(m.xdata.begin() + 0x3026, m.xdata.begin() + 0x3029), (Bytes{24, 144, 243}));  // through pointers
    EXPECT_EQ(m.xdata[0x3029], 0xAA);  // bit variables
}

}  // namespace
