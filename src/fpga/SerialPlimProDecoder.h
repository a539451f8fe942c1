#pragma once
// The Serial Plim Pro's decoder state and its two decoders, each over the bytes
// of one completed read (packets of 512 bytes from the read's start):
//
//   SerialProDecoder_std  turns the records into host messages: runs of data
//                         bytes per direction (2, 3), line-state changes (44),
//                         events (45 to 48) and status changes (49, 50);
//   SerialProDecoder_raw  forwards each packet's records with the decoder state
//                         in front (41), for the host to decode.
//
// Both run on the controller's process thread, with the controller's decoder
// lock held, so a reset on the main thread never meets a decode half way. They
// allocate nothing: each owns a fixed buffer. Write failures are ignored (the
// capture goes on).

#include <array>
#include <cstddef>
#include <cstdint>

#include "foundation/Time.h"
#include "fpga/SerialPlimPro.h"
#include "transport/TransportBase.h"

// What the decoders carry from read to read.
struct SerialProDecoder {
    uint64_t timestamp = 0;  // 100-ns units since 1601: the raw packets' time base
    uint8_t status = 0;      // the last status byte seen
    uint8_t lineState = 0;   // the last line-state byte seen
};

class SerialProDecoder_std {
public:
    // A run never outlives its packet, so it never holds more than one packet's
    // data records.
    static constexpr size_t kRunCapacity = 128;
    static_assert(serialpro::kMaxPacketData <= kRunCapacity);

    void decode(SerialProDecoder& state, const uint8_t* data, size_t size, TransportBase& out);

private:
    void decodePacket(SerialProDecoder& state, const uint8_t* packet, size_t size, TransportBase& out);
    // A record that is not data: a state change, an event, or one to ignore.
    void otherRecord(SerialProDecoder& state, uint8_t type, const uint8_t* args, TransportBase& out);
    // Appends to the run of `code`, flushing a run of the other direction first.
    void append(uint8_t code, uint8_t byte, TransportBase& out) {
        if (runLength_ != 0 && runCode_ != code) flush(out);
        runCode_ = code;
        run_[runLength_++] = byte;
    }
    void flush(TransportBase& out);

    std::array<uint8_t, kRunCapacity> run_{};
    size_t runLength_ = 0;
    uint8_t runCode_ = 0;
};

class SerialProDecoder_raw {
public:
    // The state in front of each packet: timestamp (u64 LE), status, line state,
    // six zero bytes.
    static constexpr size_t kStateSize = 16;
    static constexpr size_t kMaxPayload = kStateSize + serialpro::kPacketSize;
    // A read whose first record comes this late (half a second, in microseconds)
    // follows a pause: the time base starts again from the system time.
    static constexpr uint64_t kReanchorDelta = 500'000;

    explicit SerialProDecoder_raw(vek::sys::Clock clock = &vek::sys::systemTime) : clock_(clock) {}

    // Each packet with at least one whole record becomes one message 41 of the
    // state as it stood before the packet and the packet's whole records. The
    // stored timestamp then becomes the time base of that packet: the base the
    // read began with (re-anchored by a late first record), advanced by the
    // deltas of the read's earlier packets. With one packet per read it changes
    // only when re-anchored, and each message carries the base before its own.
    void decode(SerialProDecoder& state, const uint8_t* data, size_t size, TransportBase& out);

private:
    // Offsets in the state.
    static constexpr size_t kStateTimestamp = 0;
    static constexpr size_t kStateStatus = 8;
    static constexpr size_t kStateLineState = 9;
    static constexpr size_t kStateReserved = 10;

    // Adds the deltas of the records from `at` on to `sum`; returns where they end.
    static size_t sumRecords(const uint8_t* packet, size_t size, size_t at, uint64_t* sum);
    // Message 41: the state, then `size` bytes of whole records.
    void writePacket(const SerialProDecoder& state, const uint8_t* records, size_t size, TransportBase& out);

    vek::sys::Clock clock_;
    std::array<uint8_t, kMaxPayload> message_{};
};
