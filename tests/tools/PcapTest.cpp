#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "PcapConverter.h"
#include "PcapFile.h"
#include "foundation/Time.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kEpoch = vek::sys::kUnixEpochTicks;
constexpr uint64_t kSecond = vek::sys::kTicksPerSecond;

uint32_t u32At(const Bytes& b, size_t at) {
    return b[at] | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

struct Record {
    uint32_t seconds, nanoseconds;
    Bytes bytes;
    bool operator==(const Record&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Record& r) {
    os << r.seconds << "." << r.nanoseconds << " [";
    for (uint8_t b : r.bytes) os << " " << std::hex << int(b) << std::dec;
    return os << " ]";
}

// The records of a file without its global header; a record cut short fails the test.
std::vector<Record> records(const Bytes& file, size_t from = pcap::kGlobalHeaderSize) {
    std::vector<Record> out;
    for (size_t at = from; at < file.size();) {
        EXPECT_GE(file.size() - at, pcap::kRecordHeaderSize);
        uint32_t length = u32At(file, at + 8);
        EXPECT_EQ(u32At(file, at + 12), length);
        EXPECT_GE(file.size() - at - pcap::kRecordHeaderSize, length);
        if (file.size() - at - pcap::kRecordHeaderSize < length) break;
        auto data = file.begin() + static_cast<ptrdiff_t>(at + pcap::kRecordHeaderSize);
        out.push_back({u32At(file, at), u32At(file, at + 4), Bytes(data, data + length)});
        at += pcap::kRecordHeaderSize + length;
    }
    return out;
}

struct Message {
    std::optional<uint64_t> time;
    uint8_t code;
    Bytes payload;
};

Bytes convert(DeviceFamily family, PcapConverter::Form form, std::initializer_list<Message> messages,
              uint64_t* leftOut = nullptr) {
    PcapConverter converter(family, form);
    Bytes out;
    converter.begin(out);
    for (const Message& m : messages) converter.message(m.time, m.code, m.payload, out);
    converter.finish(out);
    if (leftOut) *leftOut = converter.leftOut();
    return out;
}

}  // namespace

TEST(PcapFile, GlobalHeaderNamesNanosecondsTheSnapLengthAndTheLinkType) {
    Bytes out;
    pcap::appendGlobalHeader(out, pcap::kLinkI2cLinux);
    EXPECT_EQ(out, (Bytes{0x4D, 0x3C, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 209, 0, 0, 0}));
}

TEST(PcapFile, RecordTimesComeFromFiletimeInNanoseconds) {
    const std::tuple<uint64_t, uint32_t, uint32_t> cases[] = {
        {kEpoch, 0, 0},
        {kEpoch - 1, 0, 0},  // before 1970: shown as 1970
        {kEpoch + 1, 0, 100},
        {kEpoch + 3 * kSecond - 1, 2, 999'999'900},
        {kEpoch + 1'700'000'000ull * kSecond + 1234567, 1'700'000'000, 123'456'700},
        {kEpoch + 0xFFFFFFFFull * kSecond, 0xFFFFFFFF, 0},  // the last second the field holds
    };
    for (const auto& [filetime, seconds, nanoseconds] : cases) {
        Bytes out;
        pcap::appendRecord(out, filetime, {Bytes{1, 2}, Bytes{}, Bytes{3}});
        EXPECT_EQ(records(out, 0), (std::vector<Record>{{seconds, nanoseconds, {1, 2, 3}}})) << filetime;
    }
}

TEST(PcapConverter, MessagesGoWholeBehindTheirFamilyInUser0) {
    uint64_t leftOut = 99;
    Bytes file = convert(DeviceFamily::kSerialPlim, PcapConverter::Form::kNative,
                         {{kEpoch + 5 * kSecond, 0x02, {'h', 'i'}}, {std::nullopt, 0x05, {3, 0, 0, 0}}, {kEpoch + 7 * kSecond, 0x00, {}}},
                         &leftOut);
    EXPECT_EQ(u32At(file, 20), pcap::kLinkUser0);
    EXPECT_EQ(leftOut, 0u);
    // A message with no time takes the one before it.
    EXPECT_EQ(records(file), (std::vector<Record>{{5, 0, {2, 2, 0x02, 2, 0, 'h', 'i'}},
                                                  {5, 0, {2, 2, 0x05, 4, 0, 3, 0, 0, 0}},
                                                  {7, 0, {2, 2, 0x00, 0, 0}}}));
}

TEST(PcapConverter, SerialPlimProRawPacketsCarryTheDevicesOwnTime) {
    const uint64_t device = kEpoch + 42 * kSecond + 5;
    Bytes state(16);
    for (int i = 0; i < 8; ++i) state[i] = static_cast<uint8_t>(device >> (8 * i));
    Bytes file = convert(DeviceFamily::kSerialPlimPro, PcapConverter::Form::kNative,
                         {{kEpoch + 9 * kSecond, 0x29, state},
                          {std::nullopt, 0x2D, {}},
                          {kEpoch + 9 * kSecond, 0x29, Bytes(15)}});  // too short to carry a time
    std::vector<Record> r = records(file);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(std::make_pair(r[0].seconds, r[0].nanoseconds), std::make_pair(42u, 500u));
    EXPECT_EQ(std::make_pair(r[1].seconds, r[1].nanoseconds), std::make_pair(42u, 500u));
    EXPECT_EQ(std::make_pair(r[2].seconds, r[2].nanoseconds), std::make_pair(9u, 0u));
    EXPECT_EQ(r[0].bytes[0], 6);  // the Serial Plim Pro's number
}

TEST(PcapConverter, I2cTransfersBecomeLinuxI2cRecords) {
    const uint64_t t1 = kEpoch + 1 * kSecond, t2 = kEpoch + 2 * kSecond, t3 = kEpoch + 3 * kSecond;
    using V = std::vector<Record>;
    struct Case {
        const char* what;
        std::vector<Message> messages;
        V expected;
        uint64_t leftOut;
    };
    const Case cases[] = {
        {"a write, its data in two runs (an ack, then a nack), timed at its START",
         {{t1, 0x0A, {}}, {t2, 0x0B, {0xA0, 0}}, {t2, 0x0F, {0x12, 0x34}}, {t2, 0x02, {0x56}}, {t3, 0x0D, {}}},
         V{{1, 0, {0, 0, 0, 0, 0, 0xA0, 0x12, 0x34, 0x56}}}, 0},
        {"a write then a read after a repeated START",
         {{t1, 0x0A, {}}, {t1, 0x0B, {0xA0, 0}}, {t1, 0x0F, {0x07}}, {t2, 0x0A, {}}, {t2, 0x0B, {0xA1, 0}},
          {t2, 0x10, {0x99}}, {t3, 0x03, {0x98}}, {t3, 0x0E, {}}},
         V{{1, 0, {0, 0, 0, 0, 0, 0xA0, 0x07}}, {2, 0, {0, 0, 0, 0, 1, 0xA1, 0x99, 0x98}}}, 0},
        {"a 10-bit read: both address bytes, flags read and ten-bit",
         {{t1, 0x0A, {}}, {t1, 0x0C, {0xF3, 0x51, 0, 0}}, {t1, 0x10, {0x42}}, {t1, 0x0D, {}}},
         V{{1, 0, {0, 0, 0, 0, 0x11, 0xF3, 0x51, 0x42}}}, 0},
        {"an address nobody answered is a transfer of the address alone",
         {{t1, 0x0A, {}}, {t1, 0x0B, {0xB0, 1}}, {t1, 0x0D, {}}}, V{{1, 0, {0, 0, 0, 0, 0, 0xB0}}}, 0},
        {"the capture begins inside a transfer: its data has no address; the next address begins one",
         {{t1, 0x0F, {0x01}}, {t2, 0x0B, {0xA0, 0}}, {t2, 0x0F, {0x02}}},  // ...and the end writes it
         V{{2, 0, {0, 0, 0, 0, 0, 0xA0, 0x02}}}, 1},
        {"what is no transfer is left out, counted",
         {{t1, 0x07, {}}, {t1, 0x0A, {}}, {t1, 0x09, {5, 0, 0, 0}}, {t1, 0x0D, {}}, {t1, 0x0D, {}}, {t1, 0x20, Bytes(24)},
          {t1, 0x0B, {0xA0}}},  // an address message too short
         V{}, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PcapConverter converter(DeviceFamily::kI2c, PcapConverter::Form::kNative);
        Bytes out;
        converter.begin(out);
        EXPECT_EQ(u32At(out, 20), pcap::kLinkI2cLinux);
        for (const Message& m : c.messages) converter.message(m.time, m.code, m.payload, out);
        converter.finish(out);
        EXPECT_EQ(records(out), c.expected);
        EXPECT_EQ(converter.leftOut(), c.leftOut);
    }
}

TEST(PcapConverter, MessagesFormKeepsEveryI2cMessage) {
    Bytes file = convert(DeviceFamily::kI2c, PcapConverter::Form::kMessages, {{kEpoch, 0x0A, {}}, {kEpoch, 0x07, {}}});
    EXPECT_EQ(u32At(file, 20), pcap::kLinkUser0);
    EXPECT_EQ(records(file), (std::vector<Record>{{0, 0, {3, 2, 0x0A, 0, 0}}, {0, 0, {3, 2, 0x07, 0, 0}}}));
}

TEST(PcapConverter, EthernetFramesLoseTheirHeaderWordAndPadding) {
    uint64_t leftOut = 0;
    Bytes file = convert(DeviceFamily::kEthernet, PcapConverter::Form::kNative,
                         {{kEpoch, 0x1B, {5, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0}},
                          {kEpoch, 0x1C, {3, 0, 0, 0x08, 7, 8, 9, 0}},
                          {kEpoch, 0x1A, {50, 0, 0, 0}},  // upload progress: no frame
                          {kEpoch, 0x1B, {0, 0, 0, 0}}},  // an empty frame
                         &leftOut);
    EXPECT_EQ(u32At(file, 20), pcap::kLinkEthernet);
    EXPECT_EQ(records(file), (std::vector<Record>{{0, 0, {1, 2, 3, 4, 5}}, {0, 0, {7, 8, 9}}}));
    EXPECT_EQ(leftOut, 2u);
}
