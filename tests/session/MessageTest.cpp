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
    };
    const Case cases[] = {
        {0, {0}, SIZE_MAX},  // still two writes: header, then the empty payload
        {65535, {65535}, SIZE_MAX},
        {70000, {65535, 4465}, SIZE_MAX},
        {10, {}, 2},                        // header refused
        {70000, {65535}, 4 + 65535 + 3},    // second header refused
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.payload << " bytes, failing after " << c.failAfter);
        MemoryTransport t;
        t.failWritesAfter(c.failAfter);
        std::vector<uint8_t> payload = pattern(c.payload), expected;
        size_t at = 0;
        for (size_t piece : c.pieces) {
            auto framed = frame(0x1B, std::vector<uint8_t>(payload.begin() + at, payload.begin() + at + piece));
            expected.insert(expected.end(), framed.begin(), framed.end());
            at += piece;
        }
        bool fails = c.failAfter != SIZE_MAX;
        EXPECT_EQ(writeMessage(t, 0x1B, payload.data(), payload.size()), !fails);
        EXPECT_EQ(t.output(), expected);  // when failing: the messages that went out whole
        if (fails) {
            EXPECT_EQ(vek::err::getLastError().code(), 232u);  // the transport's own error
        } else {
            EXPECT_EQ(t.writeCalls(), 2 * c.pieces.size());
        }
    }
}

TEST(WriteAll, RetriesPartialWritesAfterWaitingUntilOneFails) {
    for (size_t failAfter : {SIZE_MAX, size_t{6}}) {  // 6: the third write fails
        MemoryTransport t;
        t.limitWrites(3);
        t.failWritesAfter(failAfter);
        bool ok = failAfter == SIZE_MAX;
        const uint8_t digits[] = "0123456789";
        EXPECT_EQ(writeAll(t, digits, 10), ok);
        EXPECT_EQ(t.writeCalls(), ok ? 4u : 3u);
        EXPECT_EQ(t.waitCalls(), ok ? 3u : 2u);
        EXPECT_EQ(t.output(), std::vector<uint8_t>(digits, digits + (ok ? 10 : 6)));
    }
}

TEST(WriteMessage, ValuePairAndErrorRecordBytes) {
    MemoryTransport t;
    ASSERT_TRUE(writeValuePairMessage(t, 0x01020304, 0xA0B0C0D0));
    vek::err::setStringError("the device is gone");
    ASSERT_TRUE(writeErrorMessage(t));
    std::vector<uint8_t> expected{2, 0x08, 8, 0, 4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0}, error = lastErrorMessage();
    expected.insert(expected.end(), error.begin(), error.end());
    EXPECT_EQ(t.output(), expected);
    EXPECT_EQ(error[2] | (error[3] << 8), vek::err::getLastError().recordSize());
}

TEST(WriteMessage, MessagesFromTwoThreadsNeverInterleave) {
    MemoryTransport t;
    t.limitWrites(7);  // many partial writes, so an unguarded writer would be overtaken mid-message
    constexpr int kPerThread = 1000;
    auto writer = [&t](uint8_t code) {
        for (int i = 0; i < kPerThread; ++i) {
            std::vector<uint8_t> payload = pattern(static_cast<size_t>(i % 50), code);
            writeMessage(t, code, payload.data(), payload.size());
        }
    };
    std::thread a(writer, uint8_t{0x02}), b(writer, uint8_t{0x03});
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
        ASSERT_EQ(m.payload, pattern(static_cast<size_t>(n++ % 50), m.code)) << "message " << n << " of code " << int(m.code);
    }
}
