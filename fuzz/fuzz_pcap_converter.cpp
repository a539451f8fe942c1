// The pcap converters on hostile input: the first byte picks the device family,
// the form and how the rest is cut into writes; the rest is a message stream
// fed to the capture interface's transport. Whatever it says, the output must
// be a pcap file whose records all lie whole inside it.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "PcapTransport.h"
#include "support/MemoryTransport.h"

namespace {

uint64_t now() { return 0x01DB000000000000; }

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    auto family = static_cast<DeviceFamily>(data[0] % 7);
    auto form = data[0] & 0x80 ? PcapConverter::Form::kMessages : PcapConverter::Form::kNative;
    size_t cut = 1 + (data[0] >> 3 & 0x0F);
    MemoryTransport fifo;
    PcapTransport out(fifo, family, form, &now);
    if (!out.begin()) std::abort();
    std::span<const uint8_t> bytes(data + 1, size - 1);
    for (size_t at = 0; at < bytes.size(); at += cut) {
        std::span<const uint8_t> piece = bytes.subspan(at, std::min(cut, bytes.size() - at));
        if (out.write(piece.data(), piece.size()) != piece.size()) std::abort();
    }
    if (!out.finish()) std::abort();
    std::vector<uint8_t> file = fifo.output();
    if (file.size() < pcap::kGlobalHeaderSize || u32(file, 20) != out.linkType()) std::abort();
    for (size_t at = pcap::kGlobalHeaderSize; at < file.size();) {
        if (file.size() - at < pcap::kRecordHeaderSize) std::abort();
        uint32_t length = u32(file, at + 8);
        if (u32(file, at + 12) != length || length > pcap::kSnapLength ||
            file.size() - at - pcap::kRecordHeaderSize < length)
            std::abort();
        at += pcap::kRecordHeaderSize + length;
    }
    return 0;
}
