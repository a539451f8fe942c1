#include "session/Message.h"

#include <algorithm>
#include <mutex>

#include "foundation/Error.h"

namespace {

MessageHdr header(uint8_t code, size_t n) {
    return MessageHdr{kMessageKind, code, static_cast<uint16_t>(n)};
}

// Header and payload with the message lock already held.
bool writeFramed(TransportBase& t, uint8_t code, const void* payload, size_t n) {
    MessageHdr hdr = header(code, n);
    return writeAll(t, &hdr, sizeof hdr) && writeAll(t, payload, n);
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
        if (!writeFramed(t, code, p, chunk)) return false;
        p += chunk;
        n -= chunk;
    } while (n > 0);
    return true;
}

bool writeErrorMessage(TransportBase& t) {
    vek::err::ErrorRef record = vek::err::getLastError();
    std::lock_guard<std::mutex> hold(t.messageLock());
    MessageHdr hdr = header(kMsgError, record.size() & 0xFFFF);
    return writeAll(t, &hdr, sizeof hdr) && writeAll(t, record.data(), record.size());
}

bool writeValuePairMessage(TransportBase& t, uint32_t first, uint32_t second) {
    uint8_t payload[8];
    for (int i = 0; i < 4; ++i) {
        payload[i] = static_cast<uint8_t>(first >> (8 * i));
        payload[4 + i] = static_cast<uint8_t>(second >> (8 * i));
    }
    std::lock_guard<std::mutex> hold(t.messageLock());
    return writeFramed(t, kMsgValuePair, payload, sizeof payload);
}
