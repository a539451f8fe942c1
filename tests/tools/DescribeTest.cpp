#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>

#include "Describe.h"
#include "MessageTable.h"
#include "support/MemoryTransport.h"

namespace {

// "name key=value ..." as one line, the way a test reads best.
std::string render(const Described& d) {
    std::string out = d.name;
    for (const Field& f : d.fields) out += " " + f.key + "=" + f.value;
    return out;
}

}  // namespace

TEST(DescribeMessage, ReadsEachPayloadThroughTheTable) {
    using F = DeviceFamily;
    const std::tuple<F, uint8_t, Bytes, std::string> cases[] = {
        // Every field differs from its neighbours, so a swapped or shifted field shows.
        {F::kSerial, 0x27, cat({le32(115200), {7, 2, 2, 1}}),
         "line-settings baud=115200 data-bits=7 stop-bits=2 parity=even flow=rts-cts"},
        {F::kSerialPlim, 0x06, cat({le32(9600), {5, 1, 4, 0}}),
         "line-settings baud=9600 data-bits=5 stop-bits=1.5 parity=space flow=none"},
        // One byte short of its fields: the bytes under the message's name.
        {F::kSerial, 0x27, cat({le32(115200), {7, 2, 2}}), "line-settings size=7 hex=00 c2 01 00 07 02 02 ascii=......."},
        {F::kSerial, 0x24, {}, "set-dtr"}, {F::kSerial, 0x25, {0x80}, "set-rts level=1"},
        {F::kSerial, 0x22, le32(0xFFFFFFFF), "modem-lines lines=unknown"},
        {F::kSerial, 0x22, le32(0x0A), "modem-lines lines=dsr+rlsd"},
        {F::kSerial, 0x22, le32(0), "modem-lines lines=none"},
        {F::kSerialPlim, 0x05, le32(0x34), "line1-status state=break+framing-error+parity-error"},
        {F::kSerialPlim, 0x21, le32(0x06), "line-errors errors=parity+break"},
        {F::kSerialPlimPro, 0x29, cat({{0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0x0E}, {0x81, 0x05}, Bytes(6), {3, 7, 'A', 0}}),
         "raw-packet timestamp=1070935975390360080 status=0x81 line-state=0x05 size=4 hex=03 07 41 00 ascii=..A."},
        {F::kSerialPlimPro, 0x29, Bytes(15), "raw-packet size=15 hex=00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ascii=..............."},
        {F::kSerialPlimPro, 0x2C, {0x05, 0x0C}, "line-state state=0x05 changed=0x0c"},
        {F::kSerialPlimPro, 0x32, {0x80, 0xC0}, "status-change status=0x80 changed=0xc0"},
        {F::kSerialPlimPro, 0x30, {}, "event-10"}, {F::kSerialPlimPro, 0x36, {1}, "decoder-mode mode=raw"},
        {F::kSerialPlimPro, 0x36, {7}, "decoder-mode mode=7"},
        {F::kSerialPlimPro, 0x24, {}, "set-dtr size=0 hex= ascii="},  // the Pro refuses an empty level
        {F::kI2c, 0x0B, {0xA1, 0x00}, "i2c-address address=0x50 rw=read ack=ack"},  // the bits of two bytes
        {F::kI2c, 0x0B, {0xA0, 0x01}, "i2c-address address=0x50 rw=write ack=nack"},
        {F::kI2c, 0x0C, {0xF3, 0x51, 0x02, 0x00}, "i2c-address10 address=0x151 rw=read ack-bits=2"},
        {F::kI2c, 0x10, {0x56}, "i2c-read ack=ack size=1 hex=56 ascii=V"},
        {F::kI2c, 0x02, {0x12, 0x34}, "i2c-write ack=nack size=2 hex=12 34 ascii=.4"},
        {F::kSpi, 0x16, {1, 2, 3, 4}, "spi-data size=2 mosi=01 02 miso=03 04"},
        {F::kSpi, 0x18, {3, 16, 1, 0}, "start-capture mode=3 data-bits=16 byte-order=little"},
        {F::kSpi, 0x0B, {0xA1, 0x01}, "code-0x0b size=2 hex=a1 01 ascii=.."},  // an I2C code means nothing in SPI mode
        {F::kEthernet, 0x1C, cat({le32(0x0800000E), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x88, 0xB5}}),
         "ethernet-frame-flagged length=14 destination=01:02:03:04:05:06 source=07:08:09:0a:0b:0c ethertype=0x88b5"},
        {F::kEthernet, 0x1B, cat({le32(20), {1, 2}}), "ethernet-frame length=20 truncated=yes"},
        {F::kUnknown, 0x08, {1, 0, 0, 0, 2, 0, 0}, "value-pair size=7 hex=01 00 00 00 02 00 00 ascii=......."},
        {F::kUnknown, 0x08, cat({le32(7), le32(3)}), "value-pair first=7 second=3"},
        {F::kUnknown, 0x02, {0x41}, "code-0x02 size=1 hex=41 ascii=A"},
    };
    for (const auto& [family, code, payload, expected] : cases) {
        SCOPED_TRACE(testing::Message() << familyName(family) << " code " << int(code));
        EXPECT_EQ(render(describeMessage(family, code, payload)), expected);
    }
}

TEST(DescribeRecord, StatusRecordsShowTheirValueAndTheChangedBits) {
    using F = DeviceFamily;
    const std::tuple<F, uint64_t, Bytes, std::string> cases[] = {
        {F::kSerialPlim, 0x01D47C8FC7B0F70F, cat({le32(0x02), le32(0x03)}), "line0-status state=tx-carrier changed=0x03"},
        {F::kSerialPlim, 0x01D47C8FC7B0F70B, cat({le32(0x01), le32(0x05)}), "line1-status state=rx-carrier changed=0x05"},
        {F::kSerial, 0x01D47C8FC7B0F70B, cat({le32(0x02), le32(0x06)}), "modem-lines lines=dsr changed=0x06"},
        {F::kSerial, 0x01D47C8FC7B0F70F, cat({le32(0x01), le32(0x01)}), "line0-status state=rx-carrier changed=0x01"},
        {F::kI2c, 0x01D487BB6423B810, {0xA0, 0x00}, "i2c-address address=0x50 rw=write ack=ack"},
        {F::kI2c, 0x1234, {9}, "record code=0x0000000000001234 size=1 hex=09 ascii=."},
    };
    for (const auto& [family, code, data, expected] : cases) {
        SCOPED_TRACE(testing::Message() << familyName(family) << " record " << std::hex << code);
        EXPECT_EQ(render(describeRecord(family, code, data)), expected);
    }
}

TEST(DataDirection, CountsDataMessagesOnly) {
    using F = DeviceFamily;
    // A line's status message names its line but carries no data.
    const std::tuple<F, uint8_t, int> cases[] = {
        {F::kSerialPlim, 0x02, 0}, {F::kSerialPlim, 0x03, 1}, {F::kSerialPlim, 0x05, -1}, {F::kSerial, 0x03, 0},
        {F::kSerial, 0x28, -1},    {F::kI2c, 0x0F, 0},        {F::kI2c, 0x10, 1},         {F::kI2c, 0x0B, -1},
        {F::kSerialPlimPro, 0x03, 1}, {F::kSpi, 0x16, -1},
    };
    for (const auto& [family, code, line] : cases)
        EXPECT_EQ(dataDirection(family, code), line) << familyName(family) << " code " << int(code);
}

TEST(MessageTable, EachFilterNameMeansOneThingEverywhere) {
    // The dissector declares one field per filter name (as wide as its widest
    // use): every use must agree on how it reads, and the name must be one
    // Wireshark takes.
    std::map<std::string, std::tuple<FieldType, int, const char* const*>> seen;
    for (DeviceFamily family : allFamilies()) {
        std::set<uint8_t> codes;
        for (const MessageSpec& m : familyMessages(family)) {
            EXPECT_TRUE(codes.insert(m.code).second) << familyName(family) << " has code " << int(m.code) << " twice";
            for (const FieldSpec& f : m.fields) {
                std::string filter = f.filter;
                EXPECT_EQ(filter.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_."), std::string::npos) << filter;
                auto shape = std::make_tuple(f.type == FieldType::kConstant ? FieldType::kEnum : f.type, int(f.base),
                                             f.names.empty() ? nullptr : f.names.data());
                auto [it, fresh] = seen.emplace(filter, shape);
                EXPECT_TRUE(fresh || it->second == shape) << filter << " in " << m.name;
            }
        }
    }
}

TEST(FamilyOfLog, TellsTheI2cAndSpiModesApartByTheirRecords) {
    const vek::Guid i2cSpi{0x39EE6B0F, 0xA65E, 0x4E8A, {0xB2, 0x52, 0x6F, 0xA2, 0x8D, 0x8E, 0x33, 0x27}};
    const uint64_t marker = 0x01D487BB6423B806, spiData = 0x61D47FF1FC334A12, i2cStart = 0x01D487BB6423B80F;
    using Codes = std::vector<uint64_t>;
    const std::tuple<Codes, DeviceFamily> cases[] = {
        {Codes{}, DeviceFamily::kI2c},
        {Codes{marker, spiData}, DeviceFamily::kSpi},  // the marker both modes write decides nothing
        {Codes{marker, i2cStart, spiData}, DeviceFamily::kI2c},
    };
    for (const auto& [codes, family] : cases) EXPECT_EQ(familyOfLog({&i2cSpi, 1}, codes), family) << codes.size();
}
