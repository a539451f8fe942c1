#include "fpga/EthernetPlimDecoder.h"

#include <mutex>

#include "session/Message.h"

namespace {

bool isIdle(uint32_t w) { return w == 0 || w == ~uint32_t{0}; }

}  // namespace

EthernetPlimDecoderBase::EthernetPlimDecoderBase()
    : buffer(std::make_unique_for_overwrite<uint8_t[]>(kMaxRecord)),
      batch(std::make_unique_for_overwrite<uint8_t[]>(kBatchSize)) {}

EthernetPlimDecoderBase::~EthernetPlimDecoderBase() = default;

void EthernetPlimDecoderBase::decode(const uint8_t* data, size_t size, TransportBase& out) {
    reassemble(data, size, out);
    flush(out);
}

void EthernetPlimDecoderBase::reassemble(const uint8_t* data, size_t size, TransportBase& out) {
    const uint8_t* p = data;
    const uint8_t* end = data + (size & ~(kWordSize - 1));
    while (p < end) {
        if (count == 0) {
            uint32_t header;
            while (isIdle(header = word(p)))
                if ((p += kWordSize) == end) return;
            size_t n = recordSize(header);
            if (static_cast<size_t>(end - p) >= n) {
                // Whole in this read: taken from where it lies.
                complete(out, p, n);
                p += n;
                continue;
            }
            count = static_cast<uint32_t>(n);
        }
        size_t need = count - fill;
        size_t available = static_cast<size_t>(end - p);
        if (available < need) {
            std::memcpy(buffer.get() + fill, p, available);
            fill += static_cast<uint32_t>(available);
            return;
        }
        std::memcpy(buffer.get() + fill, p, need);
        p += need;
        complete(out, buffer.get(), count);
        reset();
    }
}

void EthernetPlimDecoderBase::complete(TransportBase& out, const uint8_t* record, size_t size) {
    uint32_t header = word(record);
    if ((header & kLengthMask) != 0 && (header & kRejectBits) == 0) processFrame(out, record, size);
}

void EthernetPlimDecoderBase::emit(TransportBase& out, ConstBytes head, ConstBytes body) {
    if (kBatchSize - batchFill < head.size + body.size) flush(out);
    std::memcpy(batch.get() + batchFill, head.data, head.size);
    std::memcpy(batch.get() + batchFill + head.size, body.data, body.size);
    batchFill += head.size + body.size;
}

void EthernetPlimDecoderBase::flush(TransportBase& out) {
    if (batchFill == 0) return;
    std::lock_guard<std::mutex> hold(out.messageLock());
    writeAll(out, batch.get(), batchFill);
    batchFill = 0;
}

void EthernetPlimDecoder_std::processFrame(TransportBase& out, const uint8_t* record, size_t size) {
    // Cut into several messages it would reach no host as one frame.
    if (size > kMaxPayload) {
        ++droppedFrames;
        return;
    }
    const MessageHdr header{kMessageKind, (word(record) & kCodeBit) ? kMsgFrameCodeBit : kMsgFrame,
                            static_cast<uint16_t>(size)};
    emit(out, {&header, sizeof header}, {record, size});
}
