// The Serial Plim Pro's decoders: packets of records in, host messages out.
#include <gtest/gtest.h>

#include "fpga/SerialPlimProDecoder.h"
#include "support/MemoryTransport.h"

namespace {

using Messages = std::vector<std::pair<int, Bytes>>;

Bytes d0(uint8_t b) { return {3, 1, b, 0}; }
Bytes d1(uint8_t b) { return {4, 1, b, 0}; }
Bytes repeat(const Bytes& r, size_t n) {
    Bytes out;
    while (n--) out.insert(out.end(), r.begin(), r.end());
    return out;
}
Bytes padded(Bytes b) { return b.resize(512), b; }

template <typename Decoder>
Messages decode(Decoder& d, SerialProDecoder& state, const std::vector<Bytes>& reads) {
    MemoryTransport out;
    for (const Bytes& r : reads) d.decode(state, r.data(), r.size(), out);
    Messages m;
    for (const HostMessage& h : parseMessages(out.output())) m.emplace_back(h.code, h.payload);
    return m;
}

uint64_t clockNow = 0;
uint64_t testClock() { return clockNow; }

}  // namespace

TEST(SerialProDecoder, DecodesRecordsWithinTheBytesReceived) {
    const Bytes full = repeat(d0('a'), 127);  // 508 bytes
    const Bytes delta64 = {3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'x', 0};
    const Bytes delta12 = cat({{3}, Bytes(11, 0xFF), {0x7F, 'x', 0}});
    // Line 0x21 -> 0x63 and status 0x01 -> 0xA6 -> 0x35: the new values, their
    // low and high status bits and the changed bits all differ from each other.
    const Bytes changes = {5, 0, 0x63, 13, 0, 0xA6};
    const Messages changed = {{44, {0x63, 0x42}}, {49, {0x02, 0, 0, 0}}, {50, {0xA4, 0xA4}}};
    const std::tuple<const char*, std::vector<Bytes>, Messages> cases[] = {  // case, reads, messages
        {"runs per direction", {cat({d0('a'), d0('b'), d1('c'), d0('d')})}, {{2, {'a', 'b'}}, {3, {'c'}}, {2, {'d'}}}},
        {"a repeated line state, a change of bit 7", {{5, 0, 0x21, 13, 0, 0x81}}, {{50, {0x80, 0x80}}}},
        {"line state and low status bits", {{5, 0, 0x23, 13, 0, 0x03}}, {{44, {0x23, 0x02}}, {49, {3, 0, 0, 0}}}},
        {"events; other types end a run", {cat({d0('a'), {7, 0, 10, 0, 1, 0, 14, 0}, d0('b')})},
         {{2, {'a'}}, {45, {}}, {48, {}}, {2, {'b'}}}},
        // The state a read leaves is the next read's starting point.
        {"a read repeating the last read's states", {changes, changes}, changed},
        {"a read changing the last read's states", {changes, {5, 0, 0x4E, 13, 0, 0x35}},
         {changed[0], changed[1], changed[2], {44, {0x4E, 0x2D}}, {49, {0x01, 0, 0, 0}}, {50, {0x34, 0x90}}}},
        {"a packet starting with 0", {padded({0, 3, 0, 'a', 0})}, {}},
        {"a full packet of data", {repeat(d0('z'), 128)}, {{2, Bytes(128, 'z')}}},
        // Deltas are not used here: one of any length is skipped whole.
        {"a 64-bit delta, then one of 65 bits",
         {cat({delta64, {3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 'y', 0}})},
         {{2, {'x', 'y'}}}},
        {"a 12-byte delta, then more records", {cat({delta12, d0('y'), {5, 0, 0x63}, d1('z')})},
         {{2, {'x', 'y'}}, {44, {0x63, 0x42}}, {3, {'z'}}}},
        {"a delta that does not end in the packet", {{3, 0x80, 0x80}}, {}},
        {"a delta running to the packet's end", {cat({{3}, Bytes(511, 0x80), d1('c')})}, {{3, {'c'}}}},
        // A record cut by the packet's end ends it; the next packet starts afresh.
        {"records at the packet boundary", {cat({full, {3, 0x81, 0x01, 'q'}, d0('b'), d1('c')})},
         {{2, Bytes(127, 'a')}, {2, {'b'}}, {3, {'c'}}}},
        {"a record cut by the end of the read", {{3, 0, 'a', 0, 4, 0, 'b'}}, {{2, {'a'}}}},
    };
    for (const auto& [what, reads, expected] : cases) {
        SerialProDecoder state{0, 0x01, 0x21};
        SerialProDecoder_std d;
        EXPECT_EQ(decode(d, state, reads), expected) << what;
    }
}

TEST(SerialProDecoder, RawPacketsCarryTheStateBeforeThemAndReanchorOnlyAtARead) {
    const uint64_t t0 = 0x1122334455667788, now = 0x0102030405060708;
    const Bytes records = cat({{3, 0xBF, 0x84, 0x3D, 'a', 0}, {5, 2, 7}});  // deltas 999 999 and 2
    auto withDelta = [](uint32_t us) {
        return Bytes{3, uint8_t(us | 0x80), uint8_t(us >> 7 | 0x80), uint8_t(us >> 14), 'a', 0};
    };
    auto state = [](uint64_t t) {
        Bytes s = {0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0x21, 0, 0, 0, 0, 0, 0};
        for (int i = 0; i < 8; ++i) s[i] = uint8_t(t >> 8 * i);
        return s;
    };
    // {case, reads, messages, the timestamp stored after them}
    const std::tuple<const char*, std::vector<Bytes>, Messages, uint64_t> cases[] = {
        {"a late first record", {padded(records)}, {{41, cat({state(t0), records})}}, now},
        {"delta 500 000", {withDelta(500'000)}, {{41, cat({state(t0), withDelta(500'000)})}}, now},
        {"delta 499 999", {withDelta(499'999)}, {{41, cat({state(t0), withDelta(499'999)})}}, t0},
        // The first packet's deltas advance the base of the second, within the read.
        {"two packets in one read, a late record second", {cat({padded(withDelta(20)), withDelta(600'000)})},
         {{41, cat({state(t0), withDelta(20)})}, {41, cat({state(t0), withDelta(600'000)})}}, t0 + 200},
        {"nothing in an empty packet; a full one", {padded({0, 3}), repeat(d1('c'), 128)},
         {{41, cat({state(t0), repeat(d1('c'), 128)})}}, t0},
        {"only whole records", {{3, 0, 'a', 0, 4, 0}}, {{41, cat({state(t0), {3, 0, 'a', 0}})}}, t0},
    };
    for (const auto& [what, reads, expected, stored] : cases) {
        SerialProDecoder s{t0, 0x81, 0x21};
        SerialProDecoder_raw d(&testClock);
        clockNow = now;
        EXPECT_EQ(decode(d, s, reads), expected) << what;
        EXPECT_EQ(s.timestamp, stored) << what;
        EXPECT_EQ(std::make_pair(s.status, s.lineState), std::make_pair(uint8_t(0x81), uint8_t(0x21))) << what;
    }
}
