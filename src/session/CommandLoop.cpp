#include "session/CommandLoop.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "session/ControllerBase.h"
#include "session/Message.h"
#include "foundation/Error.h"

namespace {

void reply(TransportBase& in, uint8_t code, bool done) {
    // A failure to answer is not the loop's business: a broken transport shows up
    // at the next read.
    if (done) {
        writeMessage(in, kMsgDone, nullptr, 0);
        return;
    }
    vek::err::Error failure = vek::err::copyLastError();
    vek::err::ErrorRef record = failure.ref();
    if (writeMessage(in, kMsgError, record.data(), record.size())) return;
    // The host cannot hear it (a read-only command input): a failure must not
    // pass unseen, so the console gets it.
    vek::err::restoreLastError(failure);
    std::fprintf(stderr, "error: command 0x%02x failed: %s\n", code, vek::err::getLastErrorMessage().c_str());
}

}  // namespace

bool commandLoop(TransportBase& in, ControllerBase& controller, vek::sys::Clock clock) {
    // pending[head, end) holds unconsumed bytes: at most one partial message plus one read.
    std::vector<uint8_t> pending;
    size_t head = 0;
    uint8_t chunk[kCommandReadSize];
    uint64_t lastData = 0;

    for (;;) {
        size_t r = in.read(chunk, sizeof chunk);
        if (r == kIoFailed) return false;
        if (r == 0) return true;

        uint64_t now = clock();
        // A clock stepping backwards must not throw away a message in progress.
        if (static_cast<int64_t>(now - lastData) > static_cast<int64_t>(kStaleMessageTicks)) {
            pending.clear();
            head = 0;
        }
        lastData = now;
        pending.insert(pending.end(), chunk, chunk + r);

        while (pending.size() - head >= sizeof(MessageHdr)) {
            if (pending[head] != kMessageKind) {
                auto mark = std::find(pending.begin() + static_cast<ptrdiff_t>(head), pending.end(), kMessageKind);
                if (mark == pending.end()) {
                    head = pending.size();
                    break;
                }
                head = static_cast<size_t>(mark - pending.begin());
                continue;  // re-check that a whole header is there
            }
            size_t n = sizeof(MessageHdr) + messageHeader(&pending[head]).size;
            if (pending.size() - head < n) break;
            reply(in, pending[head + 1], controller.processCommand(&pending[head]));
            head += n;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(head));
        head = 0;
    }
}
