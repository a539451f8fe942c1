// The I2C and SPI capture decoders: event streams in, host messages out.
#include <gtest/gtest.h>

#include <random>

#include "fpga/I2cDecoder.h"
#include "fpga/SpiDecoder.h"
#include "support/MemoryTransport.h"

namespace {

using Messages = std::vector<std::pair<int, Bytes>>;

Messages messagesOf(const MemoryTransport& out) {
    size_t rest = 0;
    Messages m;
    for (const HostMessage& h : parseMessages(out.output(), &rest)) m.emplace_back(h.code, h.payload);
    EXPECT_EQ(rest, 0u);
    return m;
}

Bytes pair(uint32_t a, uint32_t b) { return cat({le32(a), le32(b)}); }

// Each buffer decoded as one read.
template <typename Decoder>
Messages decode(Decoder& d, const std::vector<Bytes>& reads) {
    MemoryTransport out;
    for (const Bytes& r : reads) d.decode(r.data(), r.size(), out);
    return messagesOf(out);
}

SpiConfig spi(uint8_t bits, uint8_t littleEndian = 0) { return SpiConfig{0, bits, littleEndian}; }

}  // namespace

TEST(I2cDecoder, TurnsEventStreamsIntoMessages) {
    // START, address 0xA0 (write), acknowledge 0: the stream 0x00, 0x2A, 0x40.
    const std::pair<int, Bytes> started[] = {{10, {}}, {11, {0xA0, 0x00}}};
    const std::tuple<const char*, std::vector<Bytes>, Messages> cases[] = {  // case, reads, messages
        {"flags on a STOP end the run", {{0x00, 0x2A, 0x40, 0x21, 0x42, 0x75}},
         {started[0], started[1], {15, {0x12}}, {9, le32(5)}, {13, {}}}},
        {"10-bit address", {{0x1F, 0x40, 0x25, 0x41, 0x25, 0x66}},
         {{10, {}}, {12, {0xF0, 0x51, 0x00, 0x00}}, {15, {0x56}}, {13, {}}}},
        {"10-bit address, both acknowledge bits", {{0x1F, 0x30, 0x25, 0x31}}, {{10, {}}, {12, {0xF0, 0x51, 3, 0}}}},
        {"read direction, acknowledged", {{0x00, 0x2A, 0x31, 0x2B, 0x3C, 0x2D, 0x3E, 0x70}},
         {{10, {}}, {11, {0xA1, 1}}, {3, {0xBC, 0xDE}}, {13, {}}}},
        {"read direction, not acknowledged", {{0x00, 0x2B, 0x35, 0x2C, 0x4D, 0x2E, 0x4F, 0x70}},
         {{10, {}}, {11, {0xB5, 1}}, {16, {0xCD, 0xEF}}, {13, {}}}},
        {"a change of the acknowledge bit starts a new run",
         {{0x00, 0x2A, 0x40, 0x21, 0x42, 0x23, 0x34, 0x25, 0x46, 0x70}},
         {started[0], started[1], {15, {0x12}}, {2, {0x34}}, {15, {0x56}}, {13, {}}}},
        {"a low nibble after STOP is a sequence error, taken as data", {{0x00, 0x2A, 0x40, 0x70, 0x33}},
         {started[0], started[1], {13, {}}, {8, pair(3, 0)}, {2, {0xA3}}}},
        {"a low nibble at a byte boundary completes the last byte again",
         {{0x00, 0x2A, 0x40, 0x21, 0x42, 0x23, 0x44, 0x35}},
         {started[0], started[1], {15, {0x12, 0x34}}, {8, pair(3, 1)}, {2, {0x35}}}},
        {"STOP inside a byte, START flags, STOP flags", {{0x00, 0x2A, 0x70, 0x05, 0x73}},
         {{10, {}}, {14, {}}, {9, le32(5)}, {10, {}}, {9, le32(3)}, {13, {}}}},
        {"marker inside a run, filler and unused events", {{0x00, 0x2A, 0x40, 0x21, 0x42, 0xAA, 0xFF, 0x85, 0x23, 0x44, 0x70}},
         {started[0], started[1], {7, {}}, {15, {0x12, 0x34}}, {13, {}}}},
        {"a byte split between reads; each read ends its run", {{0x00, 0x2A}, {0x40, 0x21}, {0x42, 0x23}, {0x44, 0x70}},
         {started[0], started[1], {15, {0x12}}, {15, {0x34}}, {13, {}}}},
    };
    for (const auto& [what, reads, expected] : cases) {
        I2cDecoder d;
        EXPECT_EQ(decode(d, reads), expected) << what;
    }
}

TEST(I2cDecoder, RunsHoldAtMost8191BytesAndAResetEmptiesTheRun) {
    Bytes stream = {0x00, 0x2A, 0x40};
    for (int i = 0; i < 8192; ++i) stream.insert(stream.end(), {uint8_t(0x20 | (i >> 4 & 15)), uint8_t(0x40 | (i & 15))});
    stream.push_back(0x70);
    I2cDecoder d;
    Messages m = decode(d, {stream});
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(m[2].second.size(), 8191u);
    EXPECT_EQ(m[3], (std::pair<int, Bytes>{15, {0xFF}}));  // byte 8191 (0x1FFF) starts the next run
    // A reset between the halves of a byte: the low nibble is out of sequence
    // (and completes what is left of the byte).
    decode(d, {{0x00, 0x2A, 0x40, 0x21}});
    d.reset();
    EXPECT_EQ(decode(d, {{0x41}}), (Messages{{8, pair(4, 0)}, {15, {0x11}}}));
}

TEST(SpiDecoder, AssemblesWordsOfEveryWidthInBothByteOrders) {
    const Bytes word8 = {0x11, 0x32, 0x23, 0x44};
    const Bytes word16 = {0x11, 0x32, 0x23, 0x44, 0x15, 0x36, 0x27, 0x48};
    const std::tuple<uint8_t, uint8_t, std::vector<Bytes>, Messages> cases[] = {  // bits, little-endian, reads, messages
        {8, 0, {word8}, {{22, {0x31, 0x42}}}},
        {8, 1, {word8}, {{22, {0x13, 0x24}}}},
        // 4-bit words take turns: a word of events 1 and 3, then one of 2 and 4.
        {4, 1, {{0x11, 0x32, 0x25, 0x46}}, {{22, {0x01, 0x05, 0x02, 0x06}}}},
        {12, 0, {{0x11, 0x32, 0x23, 0x44, 0x15, 0x36}}, {{22, {0x31, 0x05, 0x42, 0x06}}}},
        {12, 1, {{0x11, 0x32, 0x23, 0x44, 0x15, 0x36}}, {{22, {0x35, 0x01, 0x46, 0x02}}}},
        {16, 0, {word16}, {{22, {0x31, 0x75, 0x42, 0x86}}}},
        {16, 1, {word16}, {{22, {0x57, 0x13, 0x68, 0x24}}}},
        // A word split between reads is kept for the next one.
        {8, 0, {{0x11, 0x32}, {0x23, 0x44}}, {{22, {0x31, 0x42}}}},
        // A frame event inside a word reports the bits it cut off, plus its flags.
        {8, 0, {{0x11, 0x32, 0x01, 0x11, 0x32, 0x23, 0x44}}, {{9, le32(5)}, {20, {}}, {22, {0x31, 0x42}}}},
        {8, 0, {{0x11, 0x32, 0x23, 0x52, 0x50}}, {{9, le32(6)}, {21, {}}, {21, {}}}},
        // Sequence errors, the marker and ignored events.
        {8, 0, {{0x32, 0x11, 0xAA, 0x11, 0xFF, 0x6F, 0x32, 0x23, 0x44}}, {{8, pair(3, 0)}, {8, pair(1, 2)}, {7, {}}, {8, pair(1, 1)}, {22, {0x10, 0x22}}}},
        // A host may ask for any width: words of 0 bits complete at every event.
        {0, 0, {{0x11, 0x00}}, {{22, {0x01, 0x00, 0x00, 0x00}}, {20, {}}, {22, {0x00, 0x00, 0x00, 0x00}}}},
    };
    for (const auto& [bits, littleEndian, reads, expected] : cases) {
        SpiDecoder d;
        d.reset(spi(bits, littleEndian));
        EXPECT_EQ(decode(d, reads), expected) << int(bits) << "/" << int(littleEndian) << " " << reads.size();
    }
}

TEST(SpiDecoder, FlushesWhenALineHolds4096Bytes) {
    for (uint8_t bits : {8, 16}) {
        Bytes stream;  // line 1: the word's number in each byte's low nibble; line 2: 0x77 bytes
        for (size_t i = 0; i < 4096u / (bits / 8) + 1; ++i)
            for (int n = 0; n < bits / 8; ++n) stream.insert(stream.end(), {uint8_t(0x10 | (i & 15)), 0x37, 0x20, 0x47});
        SpiDecoder d;
        d.reset(spi(bits));
        Messages m = decode(d, {stream});
        ASSERT_EQ(m.size(), 2u);
        EXPECT_EQ(m[0].second.size(), 8192u);
        EXPECT_EQ(std::make_pair(m[0].second[4095], m[0].second[4096]), std::make_pair(uint8_t(0x0F), uint8_t(0x77)));
        EXPECT_EQ(m[1].second.size(), 2u * bits / 8);
    }
}

// A decoding's messages with the read boundaries taken out: data messages that
// follow each other joined (an SPI one line by line), and the messages that do not
// end a run or a line (the marker; SPI sequence errors) listed apart.
std::pair<Messages, Messages> joined(const MemoryTransport& out, bool spi) {
    Messages main, apart;
    for (auto& [code, payload] : messagesOf(out)) {
        if (code == 7 || (spi && code == 8)) {
            apart.emplace_back(code, payload);
        } else if (!main.empty() && main.back().first == code && (spi ? code == 22 : code <= 3 || code >= 15)) {
            Bytes& p = main.back().second;
            if (spi) {
                size_t a = p.size() / 2, b = payload.size() / 2;
                p.insert(p.begin() + ptrdiff_t(a), payload.begin(), payload.begin() + ptrdiff_t(b));
                p.insert(p.end(), payload.begin() + ptrdiff_t(b), payload.end());
            } else {
                p.insert(p.end(), payload.begin(), payload.end());
            }
        } else {
            main.emplace_back(code, payload);
        }
    }
    return {main, apart};
}

// Random event streams, cut into random reads: no run or data message exceeds its
// limit, and the messages say what reads of single bytes say (which the decoders
// take event by event).
TEST(Decoders, RandomStreamsStayWithinTheirLimits) {
    std::mt19937 random(20240611);
    auto nibble = [&] { return uint8_t(random() % 16); };
    const uint8_t widths[] = {8, 16, 4, 12, 0, 5, 19};
    for (int round = 0; round < 14; ++round) {
        // Stretches of random events, of I2C data bytes and of SPI word cycles,
        // so the long runs and full lines come up too.
        Bytes stream;
        while (stream.size() < 40000) {
            int kind = random() % 3;
            size_t length = kind == 0 ? random() % 50 : random() % 12000;
            for (size_t i = 0; i < length; ++i) {
                if (kind == 0)
                    stream.push_back(uint8_t(random() % 4 ? (random() % 8) << 4 | nibble() : random()));
                else if (kind == 1)
                    stream.insert(stream.end(), {uint8_t(0x20 | nibble()), uint8_t(0x40 | nibble())});
                else
                    stream.insert(stream.end(), {uint8_t(0x10 | nibble()), uint8_t(0x30 | nibble()),
                                                 uint8_t(0x20 | nibble()), uint8_t(0x40 | nibble())});
            }
        }
        const SpiConfig config = spi(widths[round % 7], uint8_t(round / 7));
        I2cDecoder i2c, i2cBytewise;
        SpiDecoder spiDecoder, spiBytewise;
        spiDecoder.reset(config);
        spiBytewise.reset(config);
        MemoryTransport i2cOut, spiOut, i2cBytes, spiBytes;
        for (size_t at = 0; at < stream.size();) {
            size_t n = std::min<size_t>(stream.size() - at, 1 + random() % 20000);
            i2c.decode(stream.data() + at, n, i2cOut);
            spiDecoder.decode(stream.data() + at, n, spiOut);
            at += n;
        }
        for (const uint8_t& b : stream) {
            i2cBytewise.decode(&b, 1, i2cBytes);
            spiBytewise.decode(&b, 1, spiBytes);
        }
        for (const auto& [code, p] : messagesOf(i2cOut))
            ASSERT_LE(p.size(), code <= 3 || code >= 15 ? I2cDecoder::kMaxRun : 8u) << code;
        for (const auto& [code, p] : messagesOf(spiOut))
            ASSERT_LE(p.size(), code == 22 ? SpiDecoder::kBufferSize : 8u) << code;
        ASSERT_EQ(joined(i2cOut, false), joined(i2cBytes, false)) << round;
        ASSERT_EQ(joined(spiOut, true), joined(spiBytes, true)) << round;
    }
}
