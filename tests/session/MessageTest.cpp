#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

TEST(WriteMessage, FramesAndSplitsPayloads) {
    struct Case {
        size_t payload;
        std::vector<size_t> pieces;  // payload sizes of the messages that go out
    };
    const Case cases[] = {
        {0, {0}},
        {1, {1}},
        {0x1234, {0x1234}},
        {65535, {65535}},
        {65536, {65535, 1}},
        {200000, {65535, 65535, 65535, 3395}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        MemoryTransport t;
        std::vector<uint8_t> payload = pattern(c.payload);
        ASSERT_TRUE(writeMessage(t, 0x1B, payload.data(), payload.size()));

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

TEST(WriteMessage, StopsAtTheFirstFailedWrite) {
    struct Case {
        const char* name;
        size_t failAfter;  // output bytes the transport takes before failing
        size_t payload;
        size_t expectedOutput;
    };
    const Case cases[] = {
        {"header refused", 2, 10, 0},
        {"payload refused", 4, 10, 4},
        {"second piece refused", 4 + 65535 + 3, 70000, 4 + 65535},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryTransport t;
        t.failWritesAfter(c.failAfter);
        std::vector<uint8_t> payload = pattern(c.payload);
        EXPECT_FALSE(writeMessage(t, 0x03, payload.data(), payload.size()));
        EXPECT_EQ(t.output().size(), c.expectedOutput);
        EXPECT_EQ(vek::err::getLastError().code(), 232u);  // the transport's own error
    }
}

// Takes, per write call, the scripted number of bytes (kIoFailed: fails), and
// everything once the script has run out.
class ScriptedTransport : public TransportBase {
public:
    explicit ScriptedTransport(std::vector<size_t> script) : script_(std::move(script)) {}
    void close() override {}
    size_t read(void*, size_t) override { return 0; }
    size_t write(const void* buffer, size_t size) override {
        size_t take = calls_ < script_.size() ? std::min(script_[calls_], size) : size;
        if (calls_ < script_.size() && script_[calls_] == kIoFailed) take = kIoFailed;
        ++calls_;
        if (take == kIoFailed) return vek::err::setWinError(232), kIoFailed;
        auto p = static_cast<const uint8_t*>(buffer);
        taken.insert(taken.end(), p, p + take);
        return take;
    }
    bool wait() override { return ++waits, true; }

    std::vector<uint8_t> taken;
    size_t waits = 0;
    size_t calls() const { return calls_; }

private:
    std::vector<size_t> script_;
    size_t calls_ = 0;
};

TEST(WriteAll, RetriesPartialWritesAfterWaiting) {
    struct Case {
        const char* name;
        std::vector<size_t> script;
        size_t n;
        bool ok;
        size_t writes, waits;
    };
    const Case cases[] = {
        {"whole", {}, 10, true, 1, 0},
        {"three at a time", {3, 3, 3}, 10, true, 4, 3},
        {"zero-length request still writes once", {}, 0, true, 1, 0},
        {"nothing taken: asked again after each wait", {0, 0, 0}, 5, true, 4, 3},
        {"failure after a partial write", {3, kIoFailed}, 10, false, 2, 1},
        {"failure at once", {kIoFailed}, 10, false, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedTransport t(c.script);
        std::vector<uint8_t> bytes = pattern(c.n);
        EXPECT_EQ(writeAll(t, bytes.data(), bytes.size()), c.ok);
        EXPECT_EQ(t.calls(), c.writes);
        EXPECT_EQ(t.waits, c.waits);
        if (c.ok) {
            EXPECT_EQ(t.taken, bytes);
        }
    }
}

TEST(WriteMessage, ValuePairAndErrorRecordBytes) {
    MemoryTransport t;
    ASSERT_TRUE(writeValuePairMessage(t, 0x01020304, 0xA0B0C0D0));
    EXPECT_EQ(t.output(), (std::vector<uint8_t>{2, 0x08, 8, 0, 4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0}));

    struct Case {
        const char* name;
        void (*set)();
    };
    const Case cases[] = {
        {"windows code", [] { vek::err::setWinError(87); }},
        {"text", [] { vek::err::setStringError("the device is gone"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryTransport e;
        c.set();
        vek::err::ErrorRef record = vek::err::getLastError();
        std::vector<uint8_t> expected = frame(0x20, std::vector<uint8_t>(record.data(), record.data() + record.size()));
        ASSERT_TRUE(writeErrorMessage(e));
        EXPECT_EQ(e.output(), expected);
        EXPECT_EQ(expected[2] | (expected[3] << 8), record.recordSize());
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
        ASSERT_EQ(m.kind, 2);
        ASSERT_TRUE(m.code == 0x02 || m.code == 0x03);
        int& n = seen[m.code - 0x02];
        ASSERT_EQ(m.payload, pattern(static_cast<size_t>(n % 50), m.code)) << "message " << n << " of code " << int(m.code);
        ++n;
    }
}
