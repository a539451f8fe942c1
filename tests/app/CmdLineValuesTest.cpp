#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <utility>

#include "app/CmdLineValues.h"

// atoi and strtoul differ between glibc (64-bit long) and Windows; ours must give
// one answer everywhere, saturating like the 32-bit runtime.
TEST(CmdLineValues, DecimalAndUnsigned) {
    const std::tuple<const char*, int32_t> decimals[] = {
        {"", 0},    {" \t\n\v\f\r42", 42},     {"+7", 7},  {"-1", -1},  {"12abc", 12},  {"- 5", 0},
        {"0x10", 0}, {"2147483648", INT32_MAX}, {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN},
    };
    for (auto [text, value] : decimals) EXPECT_EQ(parseDecimal(text), value) << '"' << text << '"';

    const std::tuple<const char*, int, uint32_t, size_t> unsigneds[] = {
        // The VID/PID forms: base 16 with or without a 0x prefix.
        {"16d0", 16, 0x16D0, 4},     {"0X16D0", 16, 0x16D0, 6},  {"xyz", 16, 0, 0},
        {"0x", 16, 0, 1},            {"0xg", 0, 0, 1},           {"  0x1F!", 0, 31, 6},
        {"010", 0, 8, 3},            {"08", 0, 0, 1},            {"-1", 0, 0xFFFFFFFF, 2},
        {"-4294967295", 0, 1, 11},   {"4294967296", 0, 0xFFFFFFFF, 10},
        {"-99999999999", 10, 0xFFFFFFFF, 12},                    {"ffffffffff", 16, 0xFFFFFFFF, 10},
    };
    for (auto [text, base, value, end] : unsigneds) {
        UnsignedParse p = parseUnsigned(text, base);
        EXPECT_EQ(std::make_pair(p.value, p.end), std::make_pair(value, end)) << '"' << text << "\" base " << base;
    }
}

TEST(CmdLineValues, SizesAndTimes) {
    constexpr uint64_t kTick = 10'000'000;  // 100-ns units per second
    const std::tuple<uint64_t (*)(std::string_view), const char*, uint64_t> cases[] = {
        {parseSize, "100", 100},         {parseSize, "8k", 8192},          {parseSize, "10M", 10485760},
        {parseSize, "4G", 4294967296},   {parseSize, "0x10k", 16384},      {parseSize, "010K", 8192},
        {parseSize, "8 \t\r\nKiB", 8192}, {parseSize, "8X", 8},            {parseSize, "K", 0},
        {parseSize, "8\vK", 8},  // only space, tab, CR and LF may precede the unit
        {parseSize, "5000000000", 4294967295},
        {parseSize, "4294967295G", 4294967295ull << 30},
        {parseTime, "90", 90 * kTick},   {parseTime, "30m", 1800 * kTick}, {parseTime, "2H", 7200 * kTick},
        {parseTime, "1d", 86400 * kTick}, {parseTime, "0x10s", 16 * kTick}, {parseTime, "30y", 30 * kTick},
        // Largest hour count that fits in 64 bits of 100-ns units, then one more.
        {parseTime, "512409557h", 512409557ull * 3600 * kTick},
        {parseTime, "512409558h", ~uint64_t{0}},
    };
    for (auto [parse, text, value] : cases) EXPECT_EQ(parse(text), value) << '"' << text << '"';
}

// What the size and time switches accept: the limits at their edges, and every
// text that the lenient forms above would quietly read as something else.
TEST(CmdLineValues, StrictSizesAndTimesForTheSwitches) {
    const std::tuple<bool (*)(std::string_view, uint64_t&), const char*, bool, uint64_t> cases[] = {
        {parseSizeValue, "1", true, 1},          {parseSizeValue, "4294967295", true, 4294967295},
        {parseSizeValue, "10MB", true, 10485760}, {parseSizeValue, " 8 KiB ", true, 8192},
        {parseSizeValue, "0x10k", true, 16384},   {parseSizeValue, "3b", true, 3},
        {parseSizeValue, "4294967296", false, 0}, {parseSizeValue, "0", false, 0},
        {parseSizeValue, "0K", false, 0},         {parseSizeValue, "abc", false, 0},
        {parseSizeValue, "", false, 0},           {parseSizeValue, "1.5M", false, 0},
        {parseSizeValue, "5X", false, 0},         {parseSizeValue, "-5", false, 0},
        {parseSizeValue, "+5", false, 0},         {parseSizeValue, "10Mx", false, 0},
        {parseSizeValue, "3bb", false, 0},        {parseSizeValue, "8\vK", false, 0},
        {parseTimeValue, "2h", true, 72'000'000'000}, {parseTimeValue, "90", true, 900'000'000},
        {parseTimeValue, "1.5h", false, 0},        {parseTimeValue, "2hs", false, 0},
        {parseTimeValue, "30y", false, 0},         {parseTimeValue, "0s", false, 0},
    };
    for (auto [parse, text, ok, value] : cases) {
        uint64_t got = 0;
        EXPECT_EQ(parse(text, got), ok) << '"' << text << '"';
        EXPECT_EQ(got, value) << '"' << text << '"';
    }
}
