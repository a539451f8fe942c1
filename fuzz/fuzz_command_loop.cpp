// Hostile byte streams through the command loop: any chunking, any pauses.
// Every complete command gets exactly one reply, the replies are whole
// messages, and nothing crashes, hangs or grows without bound.
//
// Input: records of {length byte, pause byte, length bytes of data}; a length
// of 0 means 1024. The pause advances the clock by pause/4 seconds before that
// chunk is read.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "session/CommandLoop.h"
#include "support/FakeController.h"
#include "support/MemoryTransport.h"
#include "support/ScriptedClock.h"

namespace {


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryTransport in;
    scripted_clock::reset();
    uint64_t now = vek::sys::kUnixEpochTicks;
    size_t pos = 0;
    while (pos + 2 <= size) {
        size_t length = data[pos] == 0 ? 1024 : data[pos];
        now += data[pos + 1] * (vek::sys::kTicksPerSecond / 4);
        pos += 2;
        length = std::min(length, size - pos);
        if (length == 0) break;
        in.pushInput(std::vector<uint8_t>(data + pos, data + pos + length));
        scripted_clock::times.push_back(now);  // chunks are at most one read long
        pos += length;
    }
    in.endInput();

    FakeController controller;
    controller.greet = false;
    if (!controller.start(&in, &in)) abort();
    if (!commandLoop(in, controller, &scripted_clock::now)) abort();  // only a read failure returns false
    controller.stop();
    controller.waitAndClose();

    size_t rest = 0;
    std::vector<HostMessage> replies = parseMessages(in.output(), &rest);
    size_t echoed = 0;
    for (const auto& command : controller.commands())
        if (command[1] == FakeController::kEchoCommand) ++echoed;
    if (rest != 0 || replies.size() != controller.commands().size() + echoed) abort();
    return 0;
}
