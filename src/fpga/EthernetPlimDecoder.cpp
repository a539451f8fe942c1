#include "fpga/EthernetPlimDecoder.h"

#include "session/Message.h"

namespace {

bool isIdle(uint32_t w) { return w == 0 || w == ~uint32_t{0}; }

}  // namespace

EthernetPlimDecoderBase::EthernetPlimDecoderBase() : buffer(std::make_unique<uint8_t[]>(kMaxRecord)) {}

EthernetPlimDecoderBase::~EthernetPlimDecoderBase() = default;

void EthernetPlimDecoderBase::decode(const uint8_t* data, size_t size, TransportBase& out) {
    const uint8_t* p = data;
    const uint8_t* end = data + (size & ~(kWordSize - 1));
    while (p < end) {
        if (count == 0) {
            uint32_t header;
            while (isIdle(header = word(p)))
                if ((p += kWordSize) == end) return;
            size_t n = recordSize(header);
            if (static_cast<size_t>(end - p) >= n) {
                // Whole in this read: written from where it lies.
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

void EthernetPlimDecoder_std::processFrame(TransportBase& out, const uint8_t* record, size_t size) {
    // writeMessage would split it into several messages, which no host reads as one frame.
    if (size > kMaxPayload) {
        ++droppedFrames;
        return;
    }
    writeMessage(out, (word(record) & kCodeBit) ? kMsgFrameCodeBit : kMsgFrame, record, size);
}
