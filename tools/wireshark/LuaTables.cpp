#include "LuaTables.h"

#include <algorithm>
#include <bit>
#include <map>

#include "DeviceFamily.h"
#include "MessageTable.h"
#include "foundation/Error.h"
#include "foundation/Format.h"
#include "usb/UsbError.h"

using vek::sl::formatString;

namespace {

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

const char* kindName(FieldType type) {
    switch (type) {
        case FieldType::kUnsigned: return "unsigned";
        case FieldType::kEnum: return "enum";
        case FieldType::kFlags: return "flags";
        case FieldType::kLevel: return "level";
        case FieldType::kConstant: return "constant";
        case FieldType::kFiletime: return "filetime";
        case FieldType::kBytes: return "bytes";
        case FieldType::kHalves: return "halves";
        case FieldType::kErrorRecord: return "error";
        case FieldType::kI2cAddress10: return "i2c_address10";
        case FieldType::kEthernet: return "ethernet";
        case FieldType::kProRecords: return "pro_records";
    }
    return "bytes";
}

// {[0] = "a", "b", ...}: Lua arrays count from 1, the values from 0.
std::string nameList(std::span<const char* const> names) {
    std::string out = "{";
    for (size_t i = 0; i < names.size(); ++i) out += formatString("[%zu] = %s, ", i, quoted(names[i]).c_str());
    return out + "}";
}

// One declaration per filter name, as wide as its widest use.
std::string fields() {
    std::map<std::string, FieldSpec> byFilter;
    for (DeviceFamily family : allFamilies())
        for (const MessageSpec& m : familyMessages(family))
            for (const FieldSpec& f : m.fields) {
                auto [it, fresh] = byFilter.emplace(f.filter, f);
                if (!fresh) it->second.width = std::max(it->second.width, f.width);
            }
    std::string out = "local FIELDS = {\n";
    for (const auto& [filter, f] : byFilter) {
        out += formatString("  [%s] = {kind = \"%s\", label = %s, width = %d, base = \"%s\"", quoted(filter).c_str(),
                            kindName(f.type), quoted(f.label).c_str(), f.width, f.base == Base::kHex ? "hex" : "dec");
        if (!f.names.empty()) out += ", names = " + nameList(f.names);
        out += "},\n";
    }
    return out + "}\n";
}

std::string messages() {
    std::string out = "local MESSAGES = {\n";
    for (DeviceFamily family : allFamilies()) {
        out += formatString("  [%d] = {\n", familyNumber(family));
        for (const MessageSpec& m : familyMessages(family)) {
            out += formatString("    [0x%02x] = {name = %s, to_device = %s, min = %d, line = %d, fields = {\n", m.code,
                                quoted(m.name).c_str(), m.direction == Direction::kToDevice ? "true" : "false",
                                m.minSize, m.line);
            for (const FieldSpec& f : m.fields) {
                out += formatString("      {key = %s, filter = %s, kind = \"%s\", at = %d, width = %d", quoted(f.key).c_str(),
                                    quoted(f.filter).c_str(), kindName(f.type), f.at, f.width);
                if (f.mask) out += formatString(", mask = 0x%x, shift = %d", f.mask, std::countr_zero(f.mask));
                if (f.base == Base::kHex) out += formatString(", digits = %d", f.digits);
                if (f.type == FieldType::kConstant) out += formatString(", constant = %u", f.constant);
                if (f.allOnesUnknown) out += ", all_ones_unknown = true";
                out += "},\n";
            }
            out += "    }},\n";
        }
        out += "  },\n";
    }
    return out + "}\n";
}

std::string families() {
    std::string out = "local FAMILIES = {\n";
    for (DeviceFamily family : allFamilies())
        out += formatString("  [%d] = {name = %s, title = %s},\n", familyNumber(family),
                            quoted(family == DeviceFamily::kUnknown ? "unknown" : familyName(family)).c_str(),
                            quoted(familyTitle(family)).c_str());
    return out + "}\n";
}

std::string proRecords() {
    std::string out = "local PRO_RECORDS = {\n";
    for (const ProRecordType& t : proRecordTypes())
        out += formatString("  [%d] = {name = %s, args = %d},\n", t.type, quoted(t.name).c_str(), t.argumentBytes);
    return out + "}\n";
}

// The domains of error records, and the texts of the program's own USB domain
// (the others' texts are the system's, which differ by platform).
std::string errorDomains() {
    struct Domain {
        const vek::Guid& guid;
        const char* name;
    };
    const Domain domains[] = {{vek::err::kStdDomain, "standard"}, {vek::err::kErrnoDomain, "errno"},
                              {vek::err::kWinDomain, "Windows"},  {vek::err::kNtStatusDomain, "NT status"},
                              {vek::err::kCfgMgrDomain, "configuration manager"}, {vek::err::kUsbDomain, "USB"}};
    std::string out = "local ERROR_DOMAINS = {\n";
    for (const Domain& d : domains) {
        out += formatString("  [%s] = {name = %s", quoted(vek::guidToString(d.guid)).c_str(), quoted(d.name).c_str());
        if (&d.guid == &vek::err::kUsbDomain) {
            auto text = [&](int32_t code) {
                vek::err::Error e = vek::err::Error::fromCode(d.guid, static_cast<uint32_t>(code));
                return quoted(vek::io::usbErrorProvider().getErrorDescription(e.ref()));
            };
            // libusb's error codes (negative) and transfer statuses (positive),
            // and what codes past them read as.
            out += ", texts = {";
            for (int32_t code = -13; code <= 6; ++code) out += formatString("[%d] = %s, ", code, text(code).c_str());
            out += "}, other_error = " + text(-1000) + ", other_status = " + text(1000);
        }
        out += "},\n";
    }
    return out + "}\n";
}

}  // namespace

std::string luaTables() {
    return "-- Made from quenwick-hwc's message table at build time.\n" + families() + fields() + messages() +
           proRecords() + errorDomains();
}

std::string fillTemplate(const std::string& text) {
    const std::string mark = "@TABLES@\n";
    size_t at = text.find(mark);
    if (at == std::string::npos) return {};
    return std::string(text).replace(at, mark.size(), luaTables());
}
