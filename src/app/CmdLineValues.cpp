#include "app/CmdLineValues.h"

#include <algorithm>
#include <limits>

#include "foundation/Time.h"

namespace {

bool isDigitIn(char c, int base, uint32_t& digit) {
    uint32_t d;
    if (c >= '0' && c <= '9')
        d = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'z')
        d = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'Z')
        d = static_cast<uint32_t>(c - 'A' + 10);
    else
        return false;
    if (d >= static_cast<uint32_t>(base)) return false;
    digit = d;
    return true;
}

size_t skipSpace(std::string_view text, size_t pos) {
    while (pos < text.size() && isCSpace(text[pos])) ++pos;
    return pos;
}

// Only these may stand between a number and its unit.
size_t skipUnitSpace(std::string_view text, size_t pos) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n'))
        ++pos;
    return pos;
}

struct Suffix {
    char letter;
    uint64_t factor;
};

// The number, then its suffix: white space before the suffix is dropped and only
// the first character after it counts (so "8 KiB" is 8K).
template <size_t N>
uint64_t parseWithSuffix(std::string_view text, const Suffix (&suffixes)[N], uint64_t& number) {
    UnsignedParse n = parseUnsigned(text, 0);
    number = n.value;
    size_t pos = skipUnitSpace(text, n.end);
    if (pos == text.size()) return 1;
    char c = text[pos];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (const Suffix& s : suffixes)
        if (s.letter == c) return s.factor;
    return 1;
}

// Whether the text is a number with a unit in the strict sense: no sign, within
// 32 bits, above 0, and nothing after it but white space and one known unit
// letter (for sizes also "KB", "KiB" and the like).
template <size_t N>
bool isStrictWithSuffix(std::string_view text, const Suffix (&suffixes)[N], bool byteUnits) {
    size_t start = skipSpace(text, 0);
    if (start < text.size() && (text[start] == '+' || text[start] == '-')) return false;
    UnsignedParse n = parseUnsigned(text, 0);
    if (n.end == 0 || n.overflow || n.value == 0) return false;
    size_t pos = skipUnitSpace(text, n.end);
    if (pos == text.size()) return true;
    auto upper = [](char x) { return static_cast<char>(x >= 'a' && x <= 'z' ? x - 'a' + 'A' : x); };
    char unit = upper(text[pos]);
    if (std::none_of(std::begin(suffixes), std::end(suffixes), [unit](const Suffix& s) { return s.letter == unit; }))
        return false;
    std::string_view rest = text.substr(pos + 1);
    if (byteUnits && unit != 'B') {
        if (!rest.empty() && upper(rest[0]) == 'I') rest.remove_prefix(1);
        if (!rest.empty() && upper(rest[0]) == 'B') rest.remove_prefix(1);
    }
    return skipUnitSpace(rest, 0) == rest.size();
}

constexpr Suffix kSizeSuffixes[] = {{'B', 1}, {'K', 1024}, {'M', 1024 * 1024}, {'G', 1024 * 1024 * 1024}};
constexpr Suffix kTimeSuffixes[] = {{'S', 1}, {'M', 60}, {'H', 60 * 60}, {'D', 24 * 60 * 60}};

}  // namespace

bool isCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int32_t parseDecimal(std::string_view text) {
    size_t pos = skipSpace(text, 0);
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    // One past INT32_MAX, so INT32_MIN is reachable.
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (uint32_t d; pos < text.size() && isDigitIn(text[pos], 10, d); ++pos)
        magnitude = std::min<int64_t>(magnitude * 10 + d, kLimit);
    int64_t value = negative ? -magnitude : magnitude;
    return static_cast<int32_t>(std::min<int64_t>(value, kLimit - 1));
}

UnsignedParse parseUnsigned(std::string_view text, int base) {
    size_t pos = skipSpace(text, 0);
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    uint32_t digit;
    bool hexPrefix = pos + 2 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
                     isDigitIn(text[pos + 2], 16, digit);
    if (base == 0) base = hexPrefix ? 16 : (pos < text.size() && text[pos] == '0') ? 8 : 10;
    if (base == 16 && hexPrefix) pos += 2;

    constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
    size_t start = pos;
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; pos < text.size() && isDigitIn(text[pos], base, digit); ++pos) {
        magnitude = magnitude * static_cast<uint64_t>(base) + digit;
        if (magnitude > kMax) {
            overflow = true;
            magnitude = kMax;
        }
    }
    if (pos == start) return {0, 0, false};
    if (overflow) return {static_cast<uint32_t>(kMax), pos, true};
    uint32_t value = static_cast<uint32_t>(magnitude);
    return {negative ? 0u - value : value, pos, false};
}

uint64_t parseSize(std::string_view text) {
    uint64_t number;
    uint64_t factor = parseWithSuffix(text, kSizeSuffixes, number);
    return number * factor;  // below 2^62: a 32-bit number times at most 2^30
}

bool parseSizeValue(std::string_view text, uint64_t& out) {
    if (!isStrictWithSuffix(text, kSizeSuffixes, true)) return false;
    out = parseSize(text);
    return true;
}

bool parseTimeValue(std::string_view text, uint64_t& out) {
    if (!isStrictWithSuffix(text, kTimeSuffixes, false)) return false;
    out = parseTime(text);
    return true;
}

uint64_t parseTime(std::string_view text) {
    uint64_t number;
    uint64_t factor = parseWithSuffix(text, kTimeSuffixes, number) * vek::sys::kTicksPerSecond;
    if (number != 0 && factor > std::numeric_limits<uint64_t>::max() / number) return ~uint64_t{0};
    return number * factor;
}
