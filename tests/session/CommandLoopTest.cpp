#include <gtest/gtest.h>

#include "app/session/CommandLoop.h"
#include "app/session/Message.h"
#include "support/FakeController.h"
#include "support/MemoryTransport.h"
#include "support/ScriptedClock.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kSecond = vek::sys::kTicksPerSecond;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes slice(const Bytes& v, size_t from, size_t to) { return Bytes(v.begin() + ptrdiff_t(from), v.begin() + ptrdiff_t(to)); }

}  // namespace

TEST(CommandLoop, ReassemblesResynchronisesAndAnswersEachCommand) {
    const Bytes lineSettings = frame(0x06, {0x00, 0x96, 0, 0, 8, 0, 0, 0}), dtr = frame(0x24, {1}), rts = frame(0x25, {0});
    const Bytes large = frame(0x33, Bytes(65535, 0x5A)), failing = frame(FakeController::kFailingCommand, {1, 2});
    const Bytes done = frame(kMsgDone), failed = (vek::err::setWinError(vek::err::kWinInvalidParameter), lastErrorMessage());

    struct Chunk {
        Bytes bytes;
        uint64_t at = 0;  // clock at this read
    };
    struct Case {
        const char* name;
        std::vector<Chunk> chunks;
        std::vector<Bytes> commands;
        Bytes replies;
    };
    std::vector<Chunk> largeInPieces;
    for (size_t at = 0; at < large.size(); at += 1000)
        largeInPieces.push_back({slice(large, at, std::min(at + 1000, large.size())), at / 1000 * kSecond});

    const Case cases[] = {
        {"split over three reads",
         {{slice(lineSettings, 0, 2), 0}, {slice(lineSettings, 2, 5), 1 * kSecond}, {slice(lineSettings, 5, 12), 2 * kSecond}},
         {lineSettings},
         done},
        {"two in one read", {{cat({dtr, rts})}}, {dtr, rts}, cat({done, done})},
        {"garbage before the command", {{cat({{0xFF, 0x00}, dtr})}}, {dtr}, done},
        {"a read of nothing but garbage", {{{0xFF, 0x00, 0x01, 0x03}}, {dtr}}, {dtr}, done},
        {"garbage leaving less than a header after the mark", {{{0x07, 0x02, 0x24}}, {{0x01, 0x00, 0x01}}}, {dtr}, done},
        {"stale header dropped after a pause", {{{2, 0x30, 0xFF, 0xFF}, 0}, {dtr, 4 * kSecond}}, {dtr}, done},
        {"a pause of exactly three seconds keeps the partial message",
         {{slice(dtr, 0, 3), 0}, {slice(dtr, 3, 5), 3 * kSecond}},
         {dtr},
         done},
        {"zero-size command", {{frame(0x13)}}, {frame(0x13)}, done},
        {"partial message at the end of input", {{cat({dtr, slice(rts, 0, 3)})}}, {dtr}, done},
        {"failing command answered with its error record, loop goes on", {{cat({failing, dtr})}}, {failing, dtr}, cat({failed, done})},
        {"largest command in 1000-byte pieces", largeInPieces, {large}, done},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryTransport in;
        FakeController controller;
        scripted_clock::reset();
        for (const Chunk& chunk : c.chunks) {
            in.pushInput(chunk.bytes);
            scripted_clock::times.push_back(chunk.at);
        }
        in.endInput();
        EXPECT_TRUE(commandLoop(in, controller, &scripted_clock::now));
        EXPECT_EQ(controller.commands(), c.commands);
        EXPECT_EQ(in.output(), c.replies);
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
