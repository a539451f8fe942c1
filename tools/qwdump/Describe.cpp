// Message payloads read through the message table, as text fields.
#include "Describe.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "MessageTable.h"
#include "foundation/Error.h"
#include "foundation/Format.h"

using vek::sl::formatString;

namespace {

using Bytes = std::span<const uint8_t>;

// Little-endian, `width` bytes from `at`; bytes past the end read as 0.
uint64_t unsignedAt(Bytes p, size_t at, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width && at + i < p.size(); ++i) v |= uint64_t{p[at + i]} << (8 * i);
    return v;
}

Field number(std::string key, uint64_t value) { return {std::move(key), std::to_string(value), true}; }
Field text(std::string key, std::string value) { return {std::move(key), std::move(value), false}; }
Field hexNumber(std::string key, uint64_t value, int digits) {
    return text(std::move(key), formatString("0x%0*llx", digits, static_cast<unsigned long long>(value)));
}

// The bytes as hex, and as text with '.' for what does not print.
void addBytes(Described& d, Bytes p) {
    std::string hex, ascii;
    for (uint8_t b : p) {
        if (!hex.empty()) hex += ' ';
        hex += formatString("%02x", b);
        ascii += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
    }
    d.fields.push_back(number("size", p.size()));
    d.fields.push_back(text("hex", hex));
    d.fields.push_back(text("ascii", ascii));
}

std::string hexList(Bytes p) {
    std::string out;
    for (size_t i = 0; i < p.size(); ++i) out += formatString(i ? " %02x" : "%02x", p[i]);
    return out;
}

// The names of the set bits, "+"-joined; "none" when no bit is set.
std::string bitNames(uint64_t value, std::span<const char* const> names) {
    std::string out;
    for (size_t bit = 0; bit < names.size(); ++bit)
        if ((value >> bit & 1) && *names[bit]) out += (out.empty() ? "" : "+") + std::string(names[bit]);
    return out.empty() ? "none" : out;
}

std::string nameOf(std::span<const char* const> names, uint64_t value) {
    return value < names.size() ? names[value] : std::to_string(value);
}

uint64_t fieldValue(const FieldSpec& f, Bytes p) {
    uint64_t v = unsignedAt(p, f.at, f.width);
    if (f.mask) v = (v & f.mask) >> std::countr_zero(f.mask);
    return v;
}

void addError(Described& d, Bytes p) {
    if (p.size() < vek::err::kHeaderSize) return addBytes(d, p);
    vek::err::ErrorRef ref(p.data(), p.size());
    d.fields.push_back(text("domain", vek::guidToString(ref.guid())));
    d.fields.push_back({"error-code", std::to_string(static_cast<int32_t>(ref.code())), true});
    d.fields.push_back(text("description", vek::err::getErrorDescription(ref)));
}

// An Ethernet frame record: its header word, then the frame; the summary
// names its addresses, ethertype and length.
void addEthernet(Described& d, Bytes p) {
    size_t length = unsignedAt(p, 0, 4) & 0xFFFF;
    Bytes frame = p.subspan(4, std::min(length, p.size() - 4));
    d.fields.push_back(number("length", length));
    auto mac = [&](size_t at) {
        return formatString("%02x:%02x:%02x:%02x:%02x:%02x", frame[at], frame[at + 1], frame[at + 2], frame[at + 3],
                            frame[at + 4], frame[at + 5]);
    };
    if (frame.size() >= 14) {
        d.fields.push_back(text("destination", mac(0)));
        d.fields.push_back(text("source", mac(6)));
        d.fields.push_back(hexNumber("ethertype", uint32_t{frame[12]} << 8 | frame[13], 4));
    }
    if (frame.size() < length) d.fields.push_back(text("truncated", "yes"));
}

void addField(Described& d, const FieldSpec& f, Bytes p) {
    // A field past the payload's end is absent (an optional level byte).
    bool present = f.type == FieldType::kConstant || f.at + f.width <= p.size();
    if (!present) return;
    Bytes rest = p.subspan(std::min<size_t>(f.at, p.size()));
    switch (f.type) {
        case FieldType::kUnsigned:
            if (f.base == Base::kHex)
                d.fields.push_back(hexNumber(f.key, fieldValue(f, p), f.digits));
            else
                d.fields.push_back(number(f.key, fieldValue(f, p)));
            break;
        case FieldType::kEnum: d.fields.push_back(text(f.key, nameOf(f.names, fieldValue(f, p)))); break;
        case FieldType::kFlags: {
            uint64_t v = fieldValue(f, p);
            bool unknown = f.allOnesUnknown && v == (f.width >= 8 ? ~uint64_t{0} : (uint64_t{1} << 8 * f.width) - 1);
            d.fields.push_back(text(f.key, unknown ? "unknown" : bitNames(v, f.names)));
            break;
        }
        case FieldType::kLevel: d.fields.push_back(number(f.key, fieldValue(f, p) ? 1 : 0)); break;
        case FieldType::kConstant: d.fields.push_back(text(f.key, nameOf(f.names, f.constant))); break;
        case FieldType::kFiletime: d.fields.push_back(number(f.key, fieldValue(f, p))); break;
        case FieldType::kBytes:
        case FieldType::kProRecords: addBytes(d, rest); break;
        case FieldType::kHalves: {
            // The first half is the first data line (MOSI), the second the other.
            size_t half = rest.size() / 2;
            d.fields.push_back(number("size", half));
            d.fields.push_back(text("mosi", hexList(rest.first(half))));
            d.fields.push_back(text("miso", hexList(rest.subspan(half, half))));
            break;
        }
        case FieldType::kErrorRecord: addError(d, rest); break;
        case FieldType::kI2cAddress10: {
            uint32_t address = (uint32_t{p[f.at]} >> 1 & 3) << 8 | p[f.at + 1];
            d.fields.push_back(hexNumber(f.key, address, f.digits));
            break;
        }
        case FieldType::kEthernet: addEthernet(d, rest); break;
    }
}

Described bytesOf(const std::string& name, Bytes p) {
    Described d{name, {}};
    addBytes(d, p);
    return d;
}

}  // namespace

Described describeMessage(DeviceFamily family, uint8_t code, std::span<const uint8_t> payload) {
    const MessageSpec* spec = findMessage(family, code);
    // Unknown here: the bytes as they are.
    if (!spec) return bytesOf(formatString("code-0x%02x", code), payload);
    // Too short for what its code says: the bytes, under the code's name.
    if (payload.size() < spec->minSize) return bytesOf(spec->name, payload);
    Described d{spec->name, {}};
    for (const FieldSpec& f : spec->fields) addField(d, f, payload);
    return d;
}

Described describeRecord(DeviceFamily family, uint64_t code, std::span<const uint8_t> data) {
    std::optional<uint8_t> message = messageOfRecord(family, code);
    if (!message) {
        Described d = bytesOf("record", data);
        d.fields.insert(d.fields.begin(), hexNumber("code", code, 16));
        return d;
    }
    if (!isStatusRecord(code)) return describeMessage(family, *message, data);
    // {new value, bits changed}: the value as its message shows it. A serial
    // port's log has no line 0 status of its own: it reads as a Serial Plim's.
    DeviceFamily as = family == DeviceFamily::kSerial && *message == 0x04 ? DeviceFamily::kSerialPlim : family;
    Described d = describeMessage(as, *message, data.first(std::min<size_t>(4, data.size())));
    if (data.size() >= 8) d.fields.push_back(hexNumber("changed", unsignedAt(data, 4, 4), 2));
    return d;
}

int dataDirection(DeviceFamily family, uint8_t code) {
    // Data messages only: a line's status messages name their line too.
    const MessageSpec* spec = findMessage(family, code);
    if (!spec) return -1;
    bool data = std::any_of(spec->fields.begin(), spec->fields.end(),
                            [](const FieldSpec& f) { return f.type == FieldType::kBytes; });
    return data ? spec->line : -1;
}
