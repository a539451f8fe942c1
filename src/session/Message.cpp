#include "session/Message.h"

#include <algorithm>
#include <mutex>

#include "foundation/Error.h"

namespace {

MessageHdr header(uint8_t code, size_t n) {
    return MessageHdr{kMessageKind, code, static_cast<uint16_t>(n)};
}

// Header and payload as one gathered write, so whatever cuts the stream behind
// the transport (a split output file) only ever cuts between messages; after a
// partial write the rest goes out the same way. The message lock is held.
bool writeFramed(TransportBase& t, const MessageHdr& hdr, const void* payload, size_t n) {
    ConstBytes parts[2] = {{&hdr, sizeof hdr}, {payload, n}};
    size_t left = sizeof hdr + n;
    size_t k = t.writeParts(parts, 2);
    if (k == kIoFailed) return false;
    while (k < left) {
        left -= k;
        for (ConstBytes& part : parts) {
            size_t used = std::min(k, part.size);
            part.data = static_cast<const uint8_t*>(part.data) + used;
            part.size -= used;
            k -= used;
        }
        t.wait();
        k = t.writeParts(parts, 2);
        if (k == kIoFailed) return false;
    }
    return true;
}

}  // namespace

bool writeAll(TransportBase& t, const void* data, size_t n) {
    auto p = static_cast<const uint8_t*>(data);
    size_t k = t.write(p, n);
    if (k == kIoFailed) return false;
    while (k < n) {
        p += k;
        n -= k;
        t.wait();
        k = t.write(p, n);
        if (k == kIoFailed) return false;
    }
    return true;
}

bool writeMessage(TransportBase& t, uint8_t code, const void* payload, size_t n) {
    std::lock_guard<std::mutex> hold(t.messageLock());
    auto p = static_cast<const uint8_t*>(payload);
    do {
        size_t chunk = std::min(n, kMaxPayload);
        if (!writeFramed(t, header(code, chunk), p, chunk)) return false;
        p += chunk;
        n -= chunk;
    } while (n > 0);
    return true;
}

bool writeErrorMessage(TransportBase& t) {
    vek::err::ErrorRef record = vek::err::getLastError();
    std::lock_guard<std::mutex> hold(t.messageLock());
    return writeFramed(t, header(kMsgError, record.size() & 0xFFFF), record.data(), record.size());
}

bool writeValuePairMessage(TransportBase& t, uint32_t first, uint32_t second) {
    uint8_t payload[8];
    for (int i = 0; i < 4; ++i) {
        payload[i] = static_cast<uint8_t>(first >> (8 * i));
        payload[4 + i] = static_cast<uint8_t>(second >> (8 * i));
    }
    std::lock_guard<std::mutex> hold(t.messageLock());
    return writeFramed(t, header(kMsgValuePair, sizeof payload), payload, sizeof payload);
}
