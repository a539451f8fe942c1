#include <gtest/gtest.h>

#include <thread>

#include "app/session/Message.h"
#include "foundation/Error.h"
#include "support/MemoryTransport.h"

namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

}  // namespace

TEST(WriteMessage, FramesSplitsAndStopsAtTheFirstFailure) {
    struct Case {
        size_t payload;
        std::vector<size_t> pieces;  // payload sizes of the messages that go out
        size_t failAfter;            // output bytes the transport takes before failing
        size_t kept;                 // output bytes when it does
    };
    const Case cases[] = {
        {0, {0}, SIZE_MAX, 0},
        {1, {1}, SIZE_MAX, 0},
        {0x1234, {0x1234}, SIZE_MAX, 0},
        {65535, {65535}, SIZE_MAX, 0},
        {65536, {65535, 1}, SIZE_MAX, 0},
        {200000, {65535, 65535, 65535, 3395}, SIZE_MAX, 0},
        {10, {10}, 2, 0},                          // header refused
        {10, {10}, 4, 4},                          // payload refused
        {70000, {65535, 4465}, 4 + 65535 + 3, 4 + 65535},  // second header refused
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.payload << " bytes, failing after " << c.failAfter);
        MemoryTransport t;
        t.failWritesAfter(c.failAfter);
        std::vector<uint8_t> payload = pattern(c.payload);
        bool fails = c.failAfter != SIZE_MAX;
        EXPECT_EQ(writeMessage(t, 0x1B, payload.data(), payload.size()), !fails);
        if (fails) {
            EXPECT_EQ(t.output().size(), c.kept);
            EXPECT_EQ(vek::err::getLastError().code(), 232u);  // the transport's own error
            continue;
        }
        std::vector<uint8_t> expected;
        size_t at = 0;
        for (size_t piece : c.pieces) {
            auto framed = frame(0x1B, std::vector<uint8_t>(payload.begin() + at, payload.begin() + at + piece));
            expected.insert(expected.end(), framed.begin(), framed.end());
            at += piece;
        }
        EXPECT_EQ(t.output(), expected);
        // Header and payload are separate writes, also for an empty payload.
        EXPECT_EQ(t.writeCalls(), 2 * c.pieces.size());
    }
}

TEST(WriteAll, RetriesPartialWritesAfterWaiting) {
    struct Case {
        size_t perWrite;  // 0: all at once
        size_t failAfter;
        size_t n;
        bool ok;
        size_t writes, waits;
    };
    const Case cases[] = {
        {0, SIZE_MAX, 10, true, 1, 0},
        {3, SIZE_MAX, 10, true, 4, 3},
        {3, SIZE_MAX, 0, true, 1, 0},  // a zero-length request still writes once
        {0, 0, 10, false, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " bytes, " << c.perWrite << " per write");
        MemoryTransport t;
        t.limitWrites(c.perWrite);
        t.failWritesAfter(c.failAfter);
        std::vector<uint8_t> bytes = pattern(c.n);
        EXPECT_EQ(writeAll(t, bytes.data(), bytes.size()), c.ok);
        EXPECT_EQ(t.writeCalls(), c.writes);
        EXPECT_EQ(t.waitCalls(), c.waits);
        if (c.ok) {
            EXPECT_EQ(t.output(), bytes);
        }
    }
}

TEST(WriteMessage, ValuePairAndErrorRecordBytes) {
    MemoryTransport t;
    ASSERT_TRUE(writeValuePairMessage(t, 0x01020304, 0xA0B0C0D0));
    EXPECT_EQ(t.output(), (std::vector<uint8_t>{2, 0x08, 8, 0, 4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0}));

    for (bool text : {false, true}) {
        MemoryTransport e;
        if (text)
            vek::err::setStringError("the device is gone");
        else
            vek::err::setWinError(87);
        vek::err::ErrorRef record = vek::err::getLastError();
        ASSERT_TRUE(writeErrorMessage(e));
        EXPECT_EQ(e.output(), frame(0x20, std::vector<uint8_t>(record.data(), record.data() + record.size())));
        EXPECT_EQ(e.output()[2] | (e.output()[3] << 8), record.recordSize());
    }
}

TEST(WriteMessage, MessagesFromTwoThreadsNeverInterleave) {
    MemoryTransport t;
    t.limitWrites(7);  // many partial writes, so an unguarded writer would be overtaken mid-message
    constexpr int kPerThread = 1500;
    auto writer = [&t](uint8_t code) {
        for (int i = 0; i < kPerThread; ++i) {
            std::vector<uint8_t> payload = pattern(static_cast<size_t>(i % 50), code);
            writeMessage(t, code, payload.data(), payload.size());
        }
    };
    std::thread a(writer, uint8_t{0x02});
    std::thread b(writer, uint8_t{0x03});
    a.join();
    b.join();

    size_t rest = 0;
    std::vector<HostMessage> messages = parseMessages(t.output(), &rest);
    EXPECT_EQ(rest, 0u);
    ASSERT_EQ(messages.size(), 2u * kPerThread);
    int seen[2] = {0, 0};
    for (const HostMessage& m : messages) {
        ASSERT_TRUE(m.code == 0x02 || m.code == 0x03);
        int& n = seen[m.code - 0x02];
        ASSERT_EQ(m.payload, pattern(static_cast<size_t>(n % 50), m.code)) << "message " << n << " of code " << int(m.code);
        ++n;
    }
}
