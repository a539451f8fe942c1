#include "ezusb/IntelHex.h"

#include <cstring>

#include "foundation/Error.h"

namespace {

constexpr char kRecordMark = ':';
constexpr uint8_t kErased = 0xFF;
constexpr uint8_t kDataRecord = 0;
// Length, address (big-endian) and type come before the data.
constexpr size_t kRecordHeader = 4;
// Pairs past the longest data part change nothing, so decoding stops there.
constexpr size_t kLongestRecord = kRecordHeader + 255;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// isspace of the "C" locale, whatever locale the process runs in.
bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

size_t decodeRecord(std::string_view text, uint8_t* out, size_t room) {
    size_t n = 0, i = 0;
    while (n < room) {
        while (i < text.size() && isBlank(text[i])) ++i;
        if (text.size() - i < 2) break;
        int high = hexDigit(text[i]), low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) break;
        out[n++] = static_cast<uint8_t>(high << 4 | low);
        i += 2;
    }
    return n;
}

size_t fail(const char* text) {
    vek::err::setStringError(text);
    return kIntelHexFailed;
}

}  // namespace

size_t parseIntelHex(std::string_view text, std::vector<uint8_t>& image) {
    image.assign(kIntelHexLimit, kErased);
    if (text.empty() || text[0] != kRecordMark) return fail("invalid hex format");
    size_t top = 0;
    for (size_t pos = 1; pos <= text.size();) {
        size_t next = text.find(kRecordMark, pos);
        if (next == std::string_view::npos) next = text.size();
        uint8_t bytes[kLongestRecord];
        size_t count = decodeRecord(text.substr(pos, next - pos), bytes, sizeof bytes);
        pos = next + 1;
        if (count < kRecordHeader || bytes[3] != kDataRecord) continue;
        size_t length = bytes[0], address = size_t{bytes[1]} << 8 | bytes[2];
        if (kRecordHeader + length > count) return fail("hex line size out of range");
        size_t end = address + length;
        if (end > top) {
            if (end > kIntelHexLimit) return fail("hex line offset out of range");
            top = end;
        }
        if (length) std::memcpy(image.data() + address, bytes + kRecordHeader, length);
    }
    image.resize(top);
    return top;
}
