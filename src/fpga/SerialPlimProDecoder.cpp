#include "fpga/SerialPlimProDecoder.h"

#include <algorithm>
#include <cstring>

#include "fpga/SerialPlimProRecord.h"
#include "session/Message.h"

using namespace serialpro;

namespace {

constexpr uint8_t kTicksPerMicrosecond = 10;

bool isData(uint8_t type) { return type == kRecData0 || type == kRecData1; }

uint8_t dataCode(uint8_t type) { return type == kRecData0 ? kMsgData0 : kMsgData1; }

}  // namespace

void SerialProDecoder_std::decode(SerialProDecoder& state, const uint8_t* data, size_t size, TransportBase& out) {
    for (size_t at = 0; at < size; at += kPacketSize)
        decodePacket(state, data + at, std::min(kPacketSize, size - at), out);
}

void SerialProDecoder_std::decodePacket(SerialProDecoder& state, const uint8_t* p, size_t n, TransportBase& out) {
    size_t at = 0;
    while (at < n) {
        const uint8_t type = p[at];
        // The common case first: data records of one direction with one-byte deltas.
        if (isData(type) && n - at >= kMinDataRecord && p[at + 1] < 0x80) {
            append(dataCode(type), p[at + 2], out);
            // A local length: stores into the run could alias the member.
            size_t length = runLength_;
            for (at += kMinDataRecord; n - at >= kMinDataRecord && p[at] == type && p[at + 1] < 0x80;
                 at += kMinDataRecord)
                run_[length++] = p[at + 2];
            runLength_ = length;
            continue;
        }
        Record r;
        // The deltas mean nothing here, so an over-long one costs only itself.
        if (!skipRecord(p, n, at, &r)) break;
        at = r.end;
        if (isData(type)) {
            append(dataCode(type), r.args[0], out);
            continue;
        }
        flush(out);
        otherRecord(state, type, r.args, out);
    }
    flush(out);
}

void SerialProDecoder_std::otherRecord(SerialProDecoder& state, uint8_t type, const uint8_t* args, TransportBase& out) {
    if (type == kRecLineState) {
        uint8_t line = args[0];
        if (line == state.lineState) return;
        const uint8_t payload[2] = {line, static_cast<uint8_t>(state.lineState ^ line)};
        writeMessage(out, kMsgLineState, payload, sizeof payload);
        state.lineState = line;
    } else if (type >= kRecFirstEvent && type <= kRecLastEvent) {
        writeMessage(out, static_cast<uint8_t>(kMsgFirstEvent + (type - kRecFirstEvent)), nullptr, 0);
    } else if (type == kRecStatus) {
        uint8_t status = args[0], changed = static_cast<uint8_t>(state.status ^ status);
        if (changed & kStatusLowBits) {
            const uint8_t low[4] = {static_cast<uint8_t>(status & kStatusLowBits), 0, 0, 0};
            writeMessage(out, kMsgStatusLow, low, sizeof low);
        }
        if (changed & kStatusHighBits) {
            const uint8_t high[2] = {static_cast<uint8_t>(status & kStatusHighBits),
                                     static_cast<uint8_t>(changed & kStatusHighBits)};
            writeMessage(out, kMsgStatusHigh, high, sizeof high);
        }
        state.status = status;
    }
}

void SerialProDecoder_std::flush(TransportBase& out) {
    if (runLength_ == 0) return;
    writeMessage(out, runCode_, run_.data(), runLength_);
    runLength_ = 0;
}

size_t SerialProDecoder_raw::sumRecords(const uint8_t* p, size_t n, size_t at, uint64_t* sum) {
    uint64_t total = *sum;
    while (at < n && p[at] != kRecEnd) {
        // The common case first: data records with one-byte deltas, whose fixed
        // length lets the next one be looked at before this one is checked.
        while (n - at >= kMinDataRecord && isData(p[at]) && p[at + 1] < 0x80) {
            total += p[at + 1];
            at += kMinDataRecord;
        }
        Record r;
        if (!readRecord(p, n, at, &r)) break;
        total += r.delta;
        at = r.end;
    }
    *sum = total;
    return at;
}

void SerialProDecoder_raw::decode(SerialProDecoder& state, const uint8_t* data, size_t size, TransportBase& out) {
    uint64_t base = state.timestamp;
    bool firstOfRead = true;
    for (size_t start = 0; start < size; start += kPacketSize) {
        const uint8_t* p = data + start;
        const size_t n = std::min(kPacketSize, size - start);
        uint64_t sum = 0;
        size_t at = 0;
        if (firstOfRead) {
            Record r;
            if (readRecord(p, n, at, &r)) {
                if (r.delta >= kReanchorDelta) base = clock_();
                firstOfRead = false;
                sum = r.delta;
                at = r.end;
            }
        }
        if (!firstOfRead) at = sumRecords(p, n, at, &sum);
        if (at > 0) {
            // Only whole records go to the host, whose reader may trust them.
            writePacket(state, p, at, out);
            state.timestamp = base;
        }
        base += sum * kTicksPerMicrosecond;
    }
}

void SerialProDecoder_raw::writePacket(const SerialProDecoder& state, const uint8_t* records, size_t size,
                                       TransportBase& out) {
    uint8_t* m = message_.data();
    for (size_t i = 0; i < sizeof state.timestamp; ++i)
        m[kStateTimestamp + i] = static_cast<uint8_t>(state.timestamp >> (8 * i));
    m[kStateStatus] = state.status;
    m[kStateLineState] = state.lineState;
    std::memset(m + kStateReserved, 0, kStateSize - kStateReserved);
    std::memcpy(m + kStateSize, records, size);
    writeMessage(out, kMsgRawPacket, m, kStateSize + size);
}
