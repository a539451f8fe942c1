#include <gtest/gtest.h>

#include <algorithm>
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

// A USER0 record's bytes: the family's number, then the message.
Bytes user0(uint8_t family, uint8_t code, const Bytes& payload) {
    Bytes r(5 + payload.size());  // sized once: GCC 12 warns falsely about inserting into a fresh vector
    r[0] = family, r[1] = 2, r[2] = code, r[3] = uint8_t(payload.size()), r[4] = uint8_t(payload.size() >> 8);
    std::copy(payload.begin(), payload.end(), r.begin() + 5);
    return r;
}

}  // namespace

// The global header names nanoseconds, the snap length and the link type; record
// times come from FILETIME in nanoseconds.
TEST(PcapFile, GlobalHeaderAndRecordTimes) {
    Bytes header;
    pcap::appendGlobalHeader(header, pcap::kLinkI2cLinux);
    EXPECT_EQ(header, (Bytes{0x4D, 0x3C, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 209, 0, 0, 0}));
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

TEST(PcapConverter, EachFormWritesItsRecordsAndCountsWhatItLeavesOut) {
    const uint64_t t1 = kEpoch + 1 * kSecond, t2 = kEpoch + 2 * kSecond, t3 = kEpoch + 3 * kSecond;
    const uint64_t device = kEpoch + 42 * kSecond + 5;  // a Serial Plim Pro's own time
    Bytes state(16);
    for (int i = 0; i < 8; ++i) state[i] = static_cast<uint8_t>(device >> (8 * i));
    using F = DeviceFamily;
    using V = std::vector<Record>;
    constexpr auto kNative = PcapConverter::Form::kNative;
    struct Case {
        const char* what;
        F family;
        PcapConverter::Form form;
        std::vector<Message> messages;
        pcap::LinkType link;
        V expected;
        uint64_t leftOut;
    };
    const Case cases[] = {
        {"USER0: messages whole behind their family; one with no time takes the one before it", F::kSerialPlim, kNative,
         {{kEpoch + 5 * kSecond, 0x02, {'h', 'i'}}, {std::nullopt, 0x05, {3, 0, 0, 0}}, {kEpoch + 7 * kSecond, 0x00, {}}},
         pcap::kLinkUser0,
         V{{5, 0, user0(2, 0x02, {'h', 'i'})}, {5, 0, user0(2, 0x05, {3, 0, 0, 0})}, {7, 0, user0(2, 0, {})}}, 0},
        {"Serial Plim Pro raw packets carry the device's own time; one too short for it does not", F::kSerialPlimPro,
         kNative, {{t3, 0x29, state}, {std::nullopt, 0x2D, {}}, {t3, 0x29, Bytes(15)}}, pcap::kLinkUser0,
         V{{42, 500, user0(6, 0x29, state)}, {42, 500, user0(6, 0x2D, {})}, {3, 0, user0(6, 0x29, Bytes(15))}}, 0},
        {"I2C: a write, its data in two runs (an ack, then a nack), timed at its START", F::kI2c, kNative,
         {{t1, 0x0A, {}}, {t2, 0x0B, {0xA0, 0}}, {t2, 0x0F, {0x12, 0x34}}, {t2, 0x02, {0x56}}, {t3, 0x0D, {}}},
         pcap::kLinkI2cLinux, V{{1, 0, {0, 0, 0, 0, 0, 0xA0, 0x12, 0x34, 0x56}}}, 0},
        {"I2C: a write then a read after a repeated START", F::kI2c, kNative,
         {{t1, 0x0A, {}}, {t1, 0x0B, {0xA0, 0}}, {t1, 0x0F, {0x07}}, {t2, 0x0A, {}}, {t2, 0x0B, {0xA1, 0}},
          {t2, 0x10, {0x99}}, {t3, 0x03, {0x98}}, {t3, 0x0E, {}}},
         pcap::kLinkI2cLinux, V{{1, 0, {0, 0, 0, 0, 0, 0xA0, 0x07}}, {2, 0, {0, 0, 0, 0, 1, 0xA1, 0x99, 0x98}}}, 0},
        {"I2C: a 10-bit read: both address bytes, flags read and ten-bit", F::kI2c, kNative,
         {{t1, 0x0A, {}}, {t1, 0x0C, {0xF3, 0x51, 0, 0}}, {t1, 0x10, {0x42}}, {t1, 0x0D, {}}},
         pcap::kLinkI2cLinux, V{{1, 0, {0, 0, 0, 0, 0x11, 0xF3, 0x51, 0x42}}}, 0},
        {"I2C: an address nobody answered is a transfer of the address alone", F::kI2c, kNative,
         {{t1, 0x0A, {}}, {t1, 0x0B, {0xB0, 1}}, {t1, 0x0D, {}}}, pcap::kLinkI2cLinux,
         V{{1, 0, {0, 0, 0, 0, 0, 0xB0}}}, 0},
        {"I2C: the capture begins inside a transfer: its data has no address; the next address begins one",
         F::kI2c, kNative, {{t1, 0x0F, {0x01}}, {t2, 0x0B, {0xA0, 0}}, {t2, 0x0F, {0x02}}},  // ...and the end writes it
         pcap::kLinkI2cLinux, V{{2, 0, {0, 0, 0, 0, 0, 0xA0, 0x02}}}, 1},
        {"I2C: what is no transfer is left out, counted", F::kI2c, kNative,
         {{t1, 0x07, {}}, {t1, 0x0A, {}}, {t1, 0x09, {5, 0, 0, 0}}, {t1, 0x0D, {}}, {t1, 0x0D, {}},
          {t1, 0x20, Bytes(24)}, {t1, 0x0B, {0xA0}}},  // an address message too short
         pcap::kLinkI2cLinux, V{}, 6},
        {"I2C: the messages form keeps every message", F::kI2c, PcapConverter::Form::kMessages,
         {{kEpoch, 0x0A, {}}, {kEpoch, 0x07, {}}}, pcap::kLinkUser0,
         V{{0, 0, user0(3, 0x0A, {})}, {0, 0, user0(3, 0x07, {})}}, 0},
        {"Ethernet frames lose their header word and padding; progress and an empty frame are left out", F::kEthernet,
         kNative,
         {{kEpoch, 0x1B, {5, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0}}, {kEpoch, 0x1C, {3, 0, 0, 0x08, 7, 8, 9, 0}},
          {kEpoch, 0x1A, {50, 0, 0, 0}}, {kEpoch, 0x1B, {0, 0, 0, 0}}},
         pcap::kLinkEthernet, V{{0, 0, {1, 2, 3, 4, 5}}, {0, 0, {7, 8, 9}}}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PcapConverter converter(c.family, c.form);
        Bytes out;
        converter.begin(out);
        EXPECT_EQ(u32At(out, 20), c.link);
        for (const Message& m : c.messages) converter.message(m.time, m.code, m.payload, out);
        converter.finish(out);
        EXPECT_EQ(records(out), c.expected);
        EXPECT_EQ(converter.leftOut(), c.leftOut);
    }
}
