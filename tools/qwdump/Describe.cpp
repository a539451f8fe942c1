// Message payloads by device family, as the controllers write them.
#include "Describe.h"

#include <cstring>

#include "foundation/Error.h"
#include "foundation/Format.h"

using vek::sl::formatString;

namespace {

using Bytes = std::span<const uint8_t>;

uint32_t u32(Bytes p, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && at + i < p.size(); ++i) v |= uint32_t{p[at + i]} << (8 * i);
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

// The names of the set bits, "+"-joined; "none" when no bit is set.
std::string bitNames(uint32_t value, std::initializer_list<const char*> names) {
    std::string out;
    uint32_t bit = 1;
    for (const char* name : names) {
        if ((value & bit) && *name) out += (out.empty() ? "" : "+") + std::string(name);
        bit <<= 1;
    }
    return out.empty() ? "none" : out;
}

Described named(const char* name) { return Described{name, {}}; }

Described bytesOf(const char* name, Bytes p) {
    Described d = named(name);
    addBytes(d, p);
    return d;
}

Described errorRecord(Bytes p) {
    Described d = named("error");
    if (p.size() < vek::err::kHeaderSize) {
        addBytes(d, p);
        return d;
    }
    vek::err::ErrorRef ref(p.data(), p.size());
    d.fields.push_back(text("domain", vek::guidToString(ref.guid())));
    d.fields.push_back({"error-code", std::to_string(static_cast<int32_t>(ref.code())), true});
    d.fields.push_back(text("description", vek::err::getErrorDescription(ref)));
    return d;
}

Described lineErrors(Bytes p) {
    Described d = named("line-errors");
    d.fields.push_back(text("errors", bitNames(u32(p, 0), {"framing", "parity", "break"})));
    return d;
}

// Messages every family shares, and the upload messages of the FPGA devices.
bool describeCommon(uint8_t code, Bytes p, Described& d) {
    switch (code) {
        case 0x00: d = named("done"); return true;
        case 0x20: d = errorRecord(p); return true;
        case 0x08:
            d = named("value-pair");
            d.fields = {number("first", u32(p, 0)), number("second", u32(p, 4))};
            return p.size() >= 8;
        default: return false;
    }
}

bool describeSerial(uint8_t code, Bytes p, Described& d) {
    switch (code) {
        case 0x03: d = bytesOf("data", p); return true;
        case 0x21: d = lineErrors(p); return p.size() >= 4;
        case 0x22: {
            d = named("modem-lines");
            uint32_t v = u32(p, 0);
            d.fields.push_back(text("lines", v == 0xFFFFFFFF ? "unknown" : bitNames(v, {"cts", "dsr", "ring", "rlsd"})));
            return p.size() >= 4;
        }
        case 0x24: case 0x25: case 0x26: {
            static const char* const kNames[] = {"set-dtr", "set-rts", "set-break"};
            d = named(kNames[code - 0x24]);
            if (!p.empty()) d.fields.push_back(number("level", p[0] ? 1 : 0));
            return true;
        }
        case 0x27: d = named("line-settings"); return false;  // shown as bytes below
        case 0x28: d = bytesOf("transmit", p); return true;
        default: return false;
    }
}

bool describeSerialPlim(uint8_t code, Bytes p, Described& d) {
    switch (code) {
        case 0x02: case 0x03: d = bytesOf(code == 2 ? "line0-data" : "line1-data", p); return true;
        case 0x04: case 0x05:
            d = named(code == 4 ? "line0-status" : "line1-status");
            d.fields.push_back(text("state", bitNames(u32(p, 0), {"rx-carrier", "tx-carrier", "break", "ring", "framing-error",
                                                                 "parity-error", "overrun"})));
            return p.size() >= 4;
        case 0x21: d = lineErrors(p); return p.size() >= 4;
        default: return false;
    }
}

bool describeSerialPlimPro(uint8_t code, Bytes p, Described& d) {
    switch (code) {
        case 0x02: case 0x03: d = bytesOf(code == 2 ? "dir0-data" : "dir1-data", p); return true;
        case 0x29: {
            if (p.size() < 16) return false;
            d = named("raw-packet");
            uint64_t stamp = 0;
            std::memcpy(&stamp, p.data(), sizeof stamp);
            d.fields = {number("timestamp", stamp), hexNumber("status", p[8], 2), hexNumber("line-state", p[9], 2)};
            addBytes(d, p.subspan(16));
            return true;
        }
        case 0x2C:
            if (p.size() < 2) return false;
            d = named("line-state");
            d.fields = {hexNumber("state", p[0], 2), hexNumber("changed", p[1], 2)};
            return true;
        case 0x2D: case 0x2E: case 0x2F: case 0x30: d = named(formatString("event-%d", code - 38).c_str()); return true;
        case 0x31: d = named("status"); d.fields = {hexNumber("value", u32(p, 0), 2)}; return p.size() >= 4;
        case 0x32:
            if (p.size() < 2) return false;
            d = named("status-change");
            d.fields = {hexNumber("status", p[0], 2), hexNumber("changed", p[1], 2)};
            return true;
        default: return false;
    }
}

bool describeI2cSpi(DeviceFamily family, uint8_t code, Bytes p, Described& d) {
    switch (code) {
        case 0x07: d = named("marker"); return true;
        case 0x09: d = named("event-flags"); d.fields = {hexNumber("flags", u32(p, 0), 2)}; return p.size() >= 4;
        case 0x1A: d = named("upload-progress"); d.fields = {number("percent", u32(p, 0))}; return p.size() >= 4;
        default: break;
    }
    if (family == DeviceFamily::kSpi) {
        if (code == 0x14 || code == 0x15) {
            d = named(code == 0x14 ? "spi-frame-0" : "spi-frame-5");
            return true;
        }
        if (code != 0x16) return false;
        // Both lines' words: the first half is line A, the second line B.
        d = named("spi-data");
        size_t half = p.size() / 2;
        d.fields.push_back(number("size", half));
        std::string a, b;
        for (size_t i = 0; i < half; ++i) {
            a += formatString(i ? " %02x" : "%02x", p[i]);
            b += formatString(i ? " %02x" : "%02x", p[half + i]);
        }
        d.fields.push_back(text("line-a", a));
        d.fields.push_back(text("line-b", b));
        return true;
    }
    switch (code) {
        case 0x0A: d = named("i2c-start"); return true;
        case 0x0D: d = named("i2c-stop"); return true;
        case 0x0E: d = named("i2c-stop-off-byte"); return true;
        case 0x0B:
            if (p.size() < 2) return false;
            d = named("i2c-address");
            d.fields = {hexNumber("address", p[0] >> 1, 2), text("rw", p[0] & 1 ? "read" : "write"),
                        text("ack", p[1] & 1 ? "nack" : "ack")};
            return true;
        case 0x0C:
            if (p.size() < 4) return false;
            d = named("i2c-address10");
            d.fields = {hexNumber("address", (uint32_t{p[0]} >> 1 & 3) << 8 | p[1], 3),
                        text("rw", p[0] & 1 ? "read" : "write"), number("ack-bits", p[2] & 3)};
            return true;
        case 0x02: case 0x03: case 0x0F: case 0x10: {
            static const char* const kNames[] = {"i2c-write", "i2c-read"};
            d = bytesOf(kNames[code == 0x03 || code == 0x10], p);
            d.fields.insert(d.fields.begin(), text("ack", code <= 0x03 ? "nack" : "ack"));
            return true;
        }
        default: return false;
    }
}

// An Ethernet frame record: its header word, then the frame; the summary
// names its addresses, ethertype and length.
bool describeEthernet(uint8_t code, Bytes p, Described& d) {
    if (code == 0x1A) return describeI2cSpi(DeviceFamily::kI2c, code, p, d);
    if ((code != 0x1B && code != 0x1C) || p.size() < 4) return false;
    uint32_t header = u32(p, 0);
    size_t length = header & 0xFFFF;
    Bytes frame = p.subspan(4, std::min(length, p.size() - 4));
    d = named(code == 0x1B ? "ethernet-frame" : "ethernet-frame-flagged");
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
    return true;
}

}  // namespace

Described describeMessage(DeviceFamily family, uint8_t code, std::span<const uint8_t> payload) {
    Described d;
    bool known = describeCommon(code, payload, d);
    if (!known) {
        switch (family) {
            case DeviceFamily::kSerial: known = describeSerial(code, payload, d); break;
            case DeviceFamily::kSerialPlim: known = describeSerialPlim(code, payload, d); break;
            case DeviceFamily::kSerialPlimPro: known = describeSerialPlimPro(code, payload, d); break;
            case DeviceFamily::kI2c:
            case DeviceFamily::kSpi: known = describeI2cSpi(family, code, payload, d); break;
            case DeviceFamily::kEthernet: known = describeEthernet(code, payload, d); break;
            case DeviceFamily::kUnknown: break;
        }
    }
    if (!known) {
        // Unknown here, or too short for what its code says: the bytes as they are.
        std::string name = d.name.empty() ? formatString("code-0x%02x", code) : d.name;
        d = bytesOf(name.c_str(), payload);
    }
    return d;
}

namespace {

// The message each record code was made from.
struct RecordOrigin {
    uint64_t record;
    uint8_t message;
};
constexpr RecordOrigin kRecordOrigins[] = {
    {0x61D47FF1FC334A10, 0x02}, {0x61D47FF1FC334A11, 0x03}, {0x01D487BB6423B806, 0x07},
    {0x01D487BB6423B804, 0x08}, {0x01D487BB6423B805, 0x09}, {0x01D487BB6423B80F, 0x0A},
    {0x01D487BB6423B810, 0x0B}, {0x01D487BB6423B811, 0x0C}, {0x01D487BB6423B812, 0x0D},
    {0x01D487BB6423B813, 0x0E}, {0x01D487BB6423B814, 0x0F}, {0x01D487BB6423B815, 0x10},
    {0x01D487BB6423B816, 0x14}, {0x01D487BB6423B817, 0x15}, {0x61D47FF1FC334A12, 0x16},
    {0x81D4CDAFA0ABB0E7, 0x1B}, {0x81D4CDAFA0ABB0E8, 0x1C}, {0x01D47FF1FC334A16, 0x20},
    {0x01D47C8FC7B0F710, 0x21},
};
constexpr uint64_t kLine0StatusRecord = 0x01D47C8FC7B0F70F;
constexpr uint64_t kLine1StatusRecord = 0x01D47C8FC7B0F70B;  // also the serial port's modem lines

}  // namespace

Described describeRecord(DeviceFamily family, uint64_t code, std::span<const uint8_t> data) {
    if (code == kLine0StatusRecord || code == kLine1StatusRecord) {
        // {new value, bits changed}: the value as its message shows it.
        uint8_t message = code == kLine0StatusRecord ? 0x04 : family == DeviceFamily::kSerial ? 0x22 : 0x05;
        Described d = describeMessage(family == DeviceFamily::kSerial && message == 0x04 ? DeviceFamily::kSerialPlim
                                                                                         : family,
                                      message, data.first(std::min<size_t>(4, data.size())));
        if (data.size() >= 8) d.fields.push_back(hexNumber("changed", u32(data, 4), 2));
        return d;
    }
    for (const RecordOrigin& origin : kRecordOrigins)
        if (origin.record == code) {
            // A serial port's data is line 1 in the log, where a Serial Plim keeps line 1.
            return describeMessage(family, origin.message, data);
        }
    Described d = bytesOf("record", data);
    d.fields.insert(d.fields.begin(), hexNumber("code", code, 16));
    return d;
}

int dataDirection(DeviceFamily family, uint8_t code) {
    if (family == DeviceFamily::kSerial) return code == 0x03 ? 0 : -1;
    if (family == DeviceFamily::kI2c) return code == 0x02 || code == 0x0F ? 0 : code == 0x03 || code == 0x10 ? 1 : -1;
    if (family == DeviceFamily::kSerialPlim || family == DeviceFamily::kSerialPlimPro) return code == 2 ? 0 : code == 3 ? 1 : -1;
    return -1;
}
