#include <gtest/gtest.h>

#include "app/session/CommandLoop.h"
#include "app/session/Message.h"
#include "foundation/Error.h"
#include "support/FakeController.h"
#include "support/MemoryTransport.h"
#include "support/ScriptedClock.h"

namespace {

constexpr uint64_t kSecond = vek::sys::kTicksPerSecond;

struct Chunk {
    std::vector<uint8_t> bytes;
    uint64_t at = 0;  // clock at this read
};

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t to) {
    return std::vector<uint8_t>(v.begin() + static_cast<ptrdiff_t>(from), v.begin() + static_cast<ptrdiff_t>(to));
}

struct LoopRun {
    bool result;
    std::vector<std::vector<uint8_t>> commands;
    std::vector<HostMessage> replies;
    size_t replyBytesLeft;
};

LoopRun runLoop(const std::vector<Chunk>& chunks) {
    MemoryTransport in;
    FakeController controller;
    scripted_clock::reset();
    for (const Chunk& c : chunks) {
        in.pushInput(c.bytes);
        scripted_clock::times.push_back(c.at);
    }
    in.endInput();
    LoopRun run;
    run.result = commandLoop(in, controller, &scripted_clock::now);
    run.commands = controller.commands();
    run.replies = parseMessages(in.output(), &run.replyBytesLeft);
    return run;
}

}  // namespace

TEST(CommandLoop, ReassemblesResynchronisesAndAnswersEachCommand) {
    const auto lineSettings = frame(0x06, {0x00, 0x96, 0, 0, 8, 0, 0, 0});
    const auto dtr = frame(0x24, {1});
    const auto rts = frame(0x25, {0});
    const auto large = frame(0x33, std::vector<uint8_t>(65535, 0x5A));
    const auto failing = frame(FakeController::kFailingCommand, {1, 2});
    const std::vector<uint8_t> staleHeader = {2, 0x30, 0xFF, 0xFF};

    struct Case {
        const char* name;
        std::vector<Chunk> chunks;
        std::vector<std::vector<uint8_t>> commands;
        std::vector<uint8_t> replyCodes;
    };
    std::vector<Chunk> largeInPieces;
    for (size_t at = 0; at < large.size(); at += 1000)
        largeInPieces.push_back({slice(large, at, std::min(at + 1000, large.size())), at / 1000 * kSecond});

    const Case cases[] = {
        {"split over three reads",
         {{slice(lineSettings, 0, 2), 0}, {slice(lineSettings, 2, 5), 1 * kSecond}, {slice(lineSettings, 5, 12), 2 * kSecond}},
         {lineSettings},
         {kMsgDone}},
        {"two in one read", {{concat({dtr, rts})}}, {dtr, rts}, {kMsgDone, kMsgDone}},
        {"garbage before the command", {{concat({{0xFF, 0x00}, dtr})}}, {dtr}, {kMsgDone}},
        {"a read of nothing but garbage", {{{0xFF, 0x00, 0x01, 0x03}}, {dtr}}, {dtr}, {kMsgDone}},
        {"garbage leaving less than a header after the mark", {{{0x07, 0x02, 0x24}}, {{0x01, 0x00, 0x01}}}, {dtr}, {kMsgDone}},
        {"stale header dropped after a pause", {{staleHeader, 0}, {dtr, 4 * kSecond}}, {dtr}, {kMsgDone}},
        {"a pause of exactly three seconds keeps the partial message",
         {{slice(dtr, 0, 3), 0}, {slice(dtr, 3, 5), 3 * kSecond}},
         {dtr},
         {kMsgDone}},
        {"zero-size command", {{frame(0x13)}}, {frame(0x13)}, {kMsgDone}},
        {"partial message at the end of input", {{concat({dtr, slice(rts, 0, 3)})}}, {dtr}, {kMsgDone}},
        {"failing command answered, loop goes on", {{concat({failing, dtr})}}, {failing, dtr}, {kMsgError, kMsgDone}},
        {"largest command in 1000-byte pieces", largeInPieces, {large}, {kMsgDone}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopRun run = runLoop(c.chunks);
        EXPECT_TRUE(run.result);
        EXPECT_EQ(run.commands, c.commands);
        EXPECT_EQ(run.replyBytesLeft, 0u);
        ASSERT_EQ(run.replies.size(), c.replyCodes.size());
        for (size_t i = 0; i < c.replyCodes.size(); ++i) EXPECT_EQ(run.replies[i].code, c.replyCodes[i]);
    }
}

TEST(CommandLoop, FailingCommandYieldsExactlyOneErrorRecordMessage) {
    MemoryTransport in;
    FakeController controller;
    in.pushInput(frame(FakeController::kFailingCommand));
    in.endInput();
    ASSERT_TRUE(commandLoop(in, controller, &scripted_clock::now));

    vek::err::setWinError(vek::err::kWinInvalidParameter);
    vek::err::ErrorRef record = vek::err::getLastError();
    EXPECT_EQ(in.output(), frame(kMsgError, std::vector<uint8_t>(record.data(), record.data() + record.size())));
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
