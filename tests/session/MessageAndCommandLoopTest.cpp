#include <gtest/gtest.h>

#include <thread>

#include "session/CommandLoop.h"
#include "session/Message.h"
#include "foundation/Error.h"
#include "support/FakeController.h"
#include "support/MemoryTransport.h"
#include "support/ScriptedClock.h"

namespace {

constexpr uint64_t kSecond = vek::sys::kTicksPerSecond;

Bytes slice(const Bytes& v, size_t from, size_t to) {
    return Bytes(v.begin() + ptrdiff_t(from), v.begin() + ptrdiff_t(to));
}

Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

}  // namespace

TEST(WriteMessage, FramesSplitsResumesPartialWritesAndStopsAtTheFirstFailure) {
    // {payload size, payload sizes of the messages that go out, output bytes the transport takes before failing,
    //  bytes it takes a write (0: all), write and wait calls when it does not fail}
    const std::tuple<size_t, std::vector<size_t>, size_t, size_t, size_t, size_t> cases[] = {
        {0, {0}, SIZE_MAX, 0, 1, 0}, {65535, {65535}, SIZE_MAX, 0, 1, 0},  // header and payload in one write
        {70000, {65535, 4465}, SIZE_MAX, 0, 2, 0},
        {5, {5}, SIZE_MAX, 2, 5, 4},      // the rest of the header and the payload go on together
        {10, {}, 2, 0, 0, 0},             // refused whole
        {70000, {65535}, 4 + 65535 + 3, 0, 0, 0},  // second header refused
    };
    for (const auto& [size, pieces, failAfter, perWrite, calls, waits] : cases) {
        SCOPED_TRACE(testing::Message() << size << " bytes, failing after " << failAfter);
        MemoryTransport t;
        t.failWritesAfter(failAfter);
        t.limitWrites(perWrite);
        Bytes payload = pattern(size), expected;
        size_t at = 0;
        for (size_t piece : pieces) {
            expected = cat({expected, frame(0x1B, slice(payload, at, at + piece))});
            at += piece;
        }
        bool fails = failAfter != SIZE_MAX;
        EXPECT_EQ(writeMessage(t, 0x1B, payload.data(), payload.size()), !fails);
        EXPECT_EQ(t.output(), expected);  // when failing: the messages that went out whole
        if (fails) {
            EXPECT_EQ(vek::err::getLastError().code(), 232u);  // the transport's own error
        } else {
            EXPECT_EQ(std::make_pair(t.writeCalls(), t.waitCalls()), std::make_pair(calls, waits));
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
        EXPECT_EQ(t.output(), Bytes(digits, digits + (ok ? 10 : 6)));
    }
}

TEST(WriteMessage, ValuePairAndErrorRecordBytes) {
    MemoryTransport t;
    ASSERT_TRUE(writeValuePairMessage(t, 0x01020304, 0xA0B0C0D0));
    vek::err::setStringError("the device is gone");
    ASSERT_TRUE(writeErrorMessage(t));
    Bytes error = lastErrorMessage();
    EXPECT_EQ(t.output(), cat({{2, 0x08, 8, 0, 4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0}, error}));
    EXPECT_EQ(error[2] | (error[3] << 8), vek::err::getLastError().recordSize());
}

TEST(WriteMessage, MessagesFromTwoThreadsNeverInterleave) {
    MemoryTransport t;
    t.limitWrites(7);  // many partial writes, so an unguarded writer would be overtaken mid-message
    constexpr int kPerThread = 1000;
    auto writer = [&t](uint8_t code) {
        for (int i = 0; i < kPerThread; ++i) {
            Bytes payload = pattern(static_cast<size_t>(i % 50), code);
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
        ASSERT_EQ(m.payload, pattern(static_cast<size_t>(n++ % 50), m.code))
            << "message " << n - 1 << " of code " << int(m.code);
    }
}

TEST(CommandLoop, ReassemblesResynchronisesAndAnswersEachCommand) {
    const Bytes lineSettings = frame(0x06, {0x00, 0x96, 0, 0, 8, 0, 0, 0});
    const Bytes dtr = frame(0x24, {1}), rts = frame(0x25, {0});
    const Bytes large = frame(0x33, Bytes(65535, 0x5A)), failing = frame(FakeController::kFailingCommand, {1, 2});
    const Bytes done = frame(kMsgDone);
    const Bytes failed = (vek::err::setWinError(vek::err::kWinInvalidParameter), lastErrorMessage());

    struct Chunk {
        Bytes bytes;
        uint64_t at = 0;  // clock at this read
    };
    std::vector<Chunk> largeInPieces;
    for (size_t at = 0; at < large.size(); at += 1000)
        largeInPieces.push_back({slice(large, at, std::min(at + 1000, large.size())), at / 1000 * kSecond});

    // {case, what the reads bring, the commands the controller gets, the replies}
    const std::tuple<const char*, std::vector<Chunk>, std::vector<Bytes>, Bytes> cases[] = {
        {"split over three reads",
         {{slice(lineSettings, 0, 2), 0}, {slice(lineSettings, 2, 5), kSecond}, {slice(lineSettings, 5, 12), 2 * kSecond}},
         {lineSettings}, done},
        {"two in one read", {{cat({dtr, rts})}}, {dtr, rts}, cat({done, done})},
        {"garbage before the command", {{cat({{0xFF, 0x00}, dtr})}}, {dtr}, done},
        {"a read of nothing but garbage", {{{0xFF, 0x00, 0x01, 0x03}}, {dtr}}, {dtr}, done},
        {"garbage leaving less than a header after the mark", {{{0x07, 0x02, 0x24}}, {{0x01, 0x00, 0x01}}}, {dtr}, done},
        {"stale header dropped after a pause", {{{2, 0x30, 0xFF, 0xFF}, 0}, {dtr, 4 * kSecond}}, {dtr}, done},
        {"a pause of exactly three seconds keeps the partial message",
         {{slice(dtr, 0, 3), 0}, {slice(dtr, 3, 5), 3 * kSecond}}, {dtr}, done},
        {"zero-size command", {{frame(0x13)}}, {frame(0x13)}, done},
        {"partial message at the end of input", {{cat({dtr, slice(rts, 0, 3)})}}, {dtr}, done},
        {"failing command answered, loop goes on", {{cat({failing, dtr})}}, {failing, dtr}, cat({failed, done})},
        {"largest command in 1000-byte pieces", largeInPieces, {large}, done},
    };
    for (const auto& [name, chunks, commands, replies] : cases) {
        SCOPED_TRACE(name);
        MemoryTransport in;
        FakeController controller;
        scripted_clock::reset();
        for (const Chunk& chunk : chunks) {
            in.pushInput(chunk.bytes);
            scripted_clock::times.push_back(chunk.at);
        }
        in.endInput();
        EXPECT_TRUE(commandLoop(in, controller, &scripted_clock::now));
        EXPECT_EQ(controller.commands(), commands);
        EXPECT_EQ(in.output(), replies);
    }
}

TEST(CommandLoop, ReadFailureEndsTheLoopWithTheTransportsError) {
    MemoryTransport in;
    FakeController controller;
    in.failNextRead(1234);
    EXPECT_FALSE(commandLoop(in, controller, &scripted_clock::now));
    EXPECT_EQ(vek::err::getLastError().guid(), vek::err::kWinDomain);
    EXPECT_EQ(vek::err::getLastError().code(), 1234u);
    EXPECT_TRUE(in.output().empty());
}
