#pragma once
// The Ethernet Plim's capture stream, and the two forms its frames leave in.
//
// The device sends 32-bit little-endian words: idle words (0x00000000 and
// 0xFFFFFFFF) between frames, and frame records of a header word, the frame's
// bytes and zero padding up to the next word:
//
//   bits  0-15  L, the frame's length in bytes (header word and padding not counted)
//   bits 16-26  not interpreted
//   bit  27     the host message code: 28 when set, 27 when clear
//   bits 28-31  must be 0, else the record is dropped
//
// EthernetPlimDecoderBase reassembles records across reads (one may span any
// number of them; bytes after a read's last whole word are ignored) and hands each
// complete record to processFrame. Records with L = 0 or with any of bits 28-31
// set are consumed and dropped.
//
// What the decoders write for a read leaves in one write at its end (or sooner,
// when the batch is full): one write per frame would cost a system call each.
// A write holds whole messages or records only, so a split output is cut
// between them.
//
// Runs on the controller's process thread, a read at a time; reset comes from the
// main thread under the controller's decoder lock. Nothing is allocated after
// construction: the record buffer holds the longest record a header can state.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "foundation/Time.h"
#include "transport/TransportBase.h"

static_assert(std::endian::native == std::endian::little, "the device's words are read as they lie in memory");

class EthernetPlimDecoderBase {
public:
    static constexpr uint32_t kLengthMask = 0xFFFF;
    static constexpr uint32_t kCodeBit = 1u << 27;
    static constexpr uint32_t kRejectBits = 0xF0000000;
    static constexpr size_t kWordSize = 4;
    static constexpr size_t kMaxRecord = kWordSize + ((kLengthMask + 3) & ~size_t{3});
    // Holds any frame's output with room to spare.
    static constexpr size_t kBatchSize = size_t{128} << 10;

    EthernetPlimDecoderBase();
    EthernetPlimDecoderBase(const EthernetPlimDecoderBase&) = delete;
    EthernetPlimDecoderBase& operator=(const EthernetPlimDecoderBase&) = delete;
    virtual ~EthernetPlimDecoderBase();

    // At every capture start, before its first read: what the output needs
    // first. False with the last error set when it cannot be written.
    virtual bool beginOutput(TransportBase&) { return true; }
    // Drops a record in progress.
    void reset() { count = fill = 0; }
    // Reassembles one read's records and writes its complete frames to `out`;
    // write failures are not reported (the capture goes on).
    void decode(const uint8_t* data, size_t size, TransportBase& out);
    // Frames that could not be written in this form since the last call.
    uint64_t takeDroppedFrames() { return std::exchange(droppedFrames, 0); }

    static uint32_t word(const uint8_t* p) {
        uint32_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }
    // Bytes of the record a header word begins: the word, the frame, the padding.
    static size_t recordSize(uint32_t header) { return kWordSize + (((header & kLengthMask) + 3) & ~uint32_t{3}); }

protected:
    // One complete record of `size` bytes, header word first, with L above 0 and
    // bits 28-31 clear.
    virtual void processFrame(TransportBase& out, const uint8_t* record, size_t size) = 0;
    // Adds a frame's output, `head` then `body` (together at most 64 KiB + 16),
    // to the batch.
    void emit(TransportBase& out, ConstBytes head, ConstBytes body);

    uint64_t droppedFrames = 0;

private:
    void reassemble(const uint8_t* data, size_t size, TransportBase& out);
    void complete(TransportBase& out, const uint8_t* record, size_t size);
    void flush(TransportBase& out);

    std::unique_ptr<uint8_t[]> buffer;  // a record spanning reads, kMaxRecord bytes
    uint32_t count = 0;                 // its size; 0: no record in progress
    uint32_t fill = 0;                  // its bytes collected so far
    std::unique_ptr<uint8_t[]> batch;   // the output not yet written, kBatchSize bytes
    size_t batchFill = 0;
};

// Each frame as one host message: code 27 or 28 by header bit 27, the whole record
// (header word, frame, padding) as payload. A record a message cannot carry (L
// above 65528: with its padding, more than 65535 bytes) is dropped and counted.
class EthernetPlimDecoder_std final : public EthernetPlimDecoderBase {
public:
    enum MessageCode : uint8_t { kMsgFrame = 27, kMsgFrameCodeBit = 28 };
    static constexpr size_t kMaxFrame = (0xFFFF & ~size_t{3}) - kWordSize;  // 65528

protected:
    void processFrame(TransportBase& out, const uint8_t* record, size_t size) override;
};

// A raw pcap stream (no message framing): a global header at every capture start,
// then per frame a record header with the host's time and the frame whole. The
// global header is also the preamble of every further file of a split output, and
// writes hold whole records, so each file opens on its own.
class EthernetPlimDecoder_pcap final : public EthernetPlimDecoderBase {
public:
    static constexpr uint32_t kMagic = 0xA1B2C3D4;  // microsecond timestamps
    static constexpr uint16_t kVersionMajor = 2, kVersionMinor = 4;
    // Readers cut every record to the snapshot length: it covers the longest frame.
    static constexpr uint32_t kSnapLength = 0xFFFF;
    static constexpr uint32_t kLinkTypeEthernet = 1;
    static constexpr size_t kGlobalHeaderSize = 24;
    static constexpr size_t kRecordHeaderSize = 16;

    explicit EthernetPlimDecoder_pcap(vek::sys::Clock clock = &vek::sys::systemTime) : clock_(clock) {}

    bool beginOutput(TransportBase& out) override;

    static const uint8_t* globalHeader();

protected:
    void processFrame(TransportBase& out, const uint8_t* record, size_t size) override;

private:
    vek::sys::Clock clock_;
};
