#include "PcapConverter.h"

#include <algorithm>

#include "fpga/PlimMessages.h"
#include "fpga/SerialPlimPro.h"
#include "session/Message.h"

namespace {

constexpr uint8_t kI2cBusData = 0x00;  // bus 0; bit 7 clear: data, not an event
constexpr uint32_t kI2cFlagRead = 0x0001;
constexpr uint32_t kI2cFlagTenBit = 0x0010;

constexpr uint8_t kMsgEthernetFrame = 0x1B, kMsgEthernetFrameFlagged = 0x1C;
constexpr size_t kEthernetHeaderWord = 4;
constexpr size_t kRawPacketState = 16;

uint64_t u64(std::span<const uint8_t> p) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
    return v;
}

pcap::LinkType linkFor(DeviceFamily family, PcapConverter::Form form) {
    if (form == PcapConverter::Form::kMessages) return pcap::kLinkUser0;
    if (family == DeviceFamily::kI2c) return pcap::kLinkI2cLinux;
    if (family == DeviceFamily::kEthernet) return pcap::kLinkEthernet;
    return pcap::kLinkUser0;
}

}  // namespace

PcapConverter::PcapConverter(DeviceFamily family, Form form) : family_(family), link_(linkFor(family, form)) {}

void PcapConverter::message(std::optional<uint64_t> given, uint8_t code, std::span<const uint8_t> payload,
                            std::vector<uint8_t>& out) {
    uint64_t time = lastTime_ = given.value_or(lastTime_);
    if (link_ == pcap::kLinkI2cLinux) return i2cMessage(time, code, payload, out);
    if (link_ == pcap::kLinkEthernet) return ethernetMessage(time, code, payload, out);
    if (family_ == DeviceFamily::kSerialPlimPro && code == serialpro::kMsgRawPacket && payload.size() >= kRawPacketState)
        time = lastTime_ = u64(payload);  // the device's own time of the packet
    const uint8_t family = familyNumber(family_);
    const uint8_t header[] = {kMessageKind, code, static_cast<uint8_t>(payload.size()),
                              static_cast<uint8_t>(payload.size() >> 8)};
    pcap::appendRecord(out, time, {{&family, 1}, header, payload});
}

void PcapConverter::finish(std::vector<uint8_t>& out) {
    if (open_) endTransfer(out);
}

void PcapConverter::endTransfer(std::vector<uint8_t>& out) {
    if (transfer_.empty()) {
        ++leftOut_;  // a START with no address after it
    } else {
        const uint8_t header[] = {kI2cBusData, static_cast<uint8_t>(flags_ >> 24), static_cast<uint8_t>(flags_ >> 16),
                                  static_cast<uint8_t>(flags_ >> 8), static_cast<uint8_t>(flags_)};
        pcap::appendRecord(out, start_, {header, transfer_});
    }
    open_ = false;
    transfer_.clear();
    flags_ = 0;
}

void PcapConverter::i2cMessage(uint64_t time, uint8_t code, std::span<const uint8_t> payload, std::vector<uint8_t>& out) {
    auto beginTransfer = [&] {
        if (open_) endTransfer(out);
        open_ = true;
        start_ = time;
    };
    switch (code) {
        case kMsgI2cStart: beginTransfer(); return;
        case kMsgI2cAddress:
        case kMsgI2cAddress10: {
            size_t bytes = code == kMsgI2cAddress ? 1 : 2;
            if (payload.size() < (code == kMsgI2cAddress ? 2u : 4u)) break;
            // An address with no START before it (the capture began there), or a
            // second address in one transfer, begins a transfer of its own.
            if (!open_ || !transfer_.empty()) beginTransfer();
            transfer_.assign(payload.begin(), payload.begin() + static_cast<ptrdiff_t>(bytes));
            flags_ = (payload[0] & 1 ? kI2cFlagRead : 0) | (bytes == 2 ? kI2cFlagTenBit : 0);
            return;
        }
        case kMsgI2cWriteNacked:
        case kMsgI2cReadNacked:
        case kMsgI2cWriteAcked:
        case kMsgI2cReadAcked:
            if (transfer_.empty()) break;  // no address to send them to
            transfer_.insert(transfer_.end(), payload.begin(), payload.end());
            return;
        case kMsgI2cStop:
        case kMsgI2cStopOffByte:
            if (!open_) break;
            endTransfer(out);
            return;
        default: break;
    }
    ++leftOut_;
}

void PcapConverter::ethernetMessage(uint64_t time, uint8_t code, std::span<const uint8_t> payload,
                                    std::vector<uint8_t>& out) {
    if ((code != kMsgEthernetFrame && code != kMsgEthernetFrameFlagged) || payload.size() < kEthernetHeaderWord) {
        ++leftOut_;
        return;
    }
    size_t length = (payload[0] | size_t{payload[1]} << 8);
    std::span<const uint8_t> frame = payload.subspan(kEthernetHeaderWord);
    frame = frame.first(std::min(length, frame.size()));
    if (frame.empty()) {
        ++leftOut_;
        return;
    }
    pcap::appendRecord(out, time, {frame});
}
