#pragma once
// Parsers of switch values. None of them fails: text that is not a number reads as
// 0 and the callers decide what 0 means. They follow the C runtime's atoi and
// strtoul as a 32-bit Windows runtime has them (int and unsigned long both 32
// bits, "C" locale), on every platform, so a command line means the same thing
// everywhere.

#include <cstddef>
#include <cstdint>
#include <string_view>

// C-locale white space: space, \t, \n, \v, \f, \r.
bool isCSpace(char c);

// atoi: leading white space and a sign allowed, digits up to the first non-digit,
// no digits give 0. Out of range saturates at INT32_MIN / INT32_MAX.
int32_t parseDecimal(std::string_view text);

struct UnsignedParse {
    uint32_t value;
    size_t end;     // offset just past the number; 0 when there were no digits
    bool overflow;  // the magnitude did not fit in 32 bits
};

// strtoul with a 32-bit result: white space, sign, base 16 takes an optional 0x,
// base 0 picks 16 for 0x, 8 for a leading 0, else 10. A magnitude beyond 32 bits
// gives 0xFFFFFFFF; a '-' negates modulo 2^32.
UnsignedParse parseUnsigned(std::string_view text, int base);

// --vid, --pid.
inline uint32_t parseHex(std::string_view text) { return parseUnsigned(text, 16).value; }
// --fpga-base.
inline uint32_t parseAutoBase(std::string_view text) { return parseUnsigned(text, 0).value; }

// A number with automatic base and an optional unit suffix (B, K, M, G; any case;
// white space may separate it). An unknown or missing suffix counts as bytes.
uint64_t parseSize(std::string_view text);

// What the size and time switches take: the forms above, but refusing what
// would silently mean something else than the user wrote: no number, 0, a
// sign, more than 32 bits, or text after the number that is not a known unit
// ("1.5M", "5X"). False for those.
bool parseSizeValue(std::string_view text, uint64_t& out);
bool parseTimeValue(std::string_view text, uint64_t& out);

// The same with S, M, H or D and the result in 100-ns units. A product that does
// not fit in 64 bits becomes all ones, which the splitter reads as "no limit".
uint64_t parseTime(std::string_view text);
