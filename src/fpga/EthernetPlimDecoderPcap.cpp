// The pcap form of the Ethernet Plim's frames.
#include <array>
#include <mutex>

#include "fpga/EthernetPlimDecoder.h"
#include "session/Message.h"

namespace {

using Pcap = EthernetPlimDecoder_pcap;

constexpr void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

constexpr std::array<uint8_t, Pcap::kGlobalHeaderSize> makeGlobalHeader() {
    std::array<uint8_t, Pcap::kGlobalHeaderSize> h{};
    putU32(&h[0], Pcap::kMagic);
    putU32(&h[4], Pcap::kVersionMajor | uint32_t{Pcap::kVersionMinor} << 16);
    // Time zone offset and timestamp accuracy stay 0.
    putU32(&h[16], Pcap::kSnapLength);
    putU32(&h[20], Pcap::kLinkTypeEthernet);
    return h;
}

constexpr std::array<uint8_t, Pcap::kGlobalHeaderSize> kGlobalHeader = makeGlobalHeader();

constexpr uint64_t kTicksPerMicrosecond = 10;
constexpr uint64_t kMicrosecondsPerSecond = 1'000'000;

}  // namespace

const uint8_t* EthernetPlimDecoder_pcap::globalHeader() { return kGlobalHeader.data(); }

bool EthernetPlimDecoder_pcap::beginOutput(TransportBase& out) {
    // The lock also keeps the preamble from changing under a split (which
    // happens inside a write). It is set first: should this very write end a
    // split file, the next one starts with it too.
    std::lock_guard<std::mutex> hold(out.messageLock());
    out.setFilePreamble({kGlobalHeader.data(), kGlobalHeader.size()});
    return writeAll(out, kGlobalHeader.data(), kGlobalHeader.size());
}

void EthernetPlimDecoder_pcap::processFrame(TransportBase& out, const uint8_t* record, size_t) {
    uint64_t t = clock_();
    uint32_t length = word(record) & kLengthMask;
    uint8_t header[kRecordHeaderSize];
    // Seconds since 1970 in 32 bits: they wrap in 2106, as the format's field does.
    putU32(&header[0], static_cast<uint32_t>(t / vek::sys::kTicksPerSecond -
                                             vek::sys::kUnixEpochTicks / vek::sys::kTicksPerSecond));
    putU32(&header[4], static_cast<uint32_t>(t / kTicksPerMicrosecond % kMicrosecondsPerSecond));
    putU32(&header[8], length);   // captured: never cut
    putU32(&header[12], length);  // original
    emit(out, {header, sizeof header}, {record + kWordSize, length});
}
