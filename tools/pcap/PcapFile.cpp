#include "PcapFile.h"

#include "foundation/Time.h"

namespace pcap {

namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

constexpr uint64_t kNanosecondsPerTick = 100;

}  // namespace

void appendGlobalHeader(std::vector<uint8_t>& out, LinkType link) {
    put32(out, kMagicNanoseconds);
    put16(out, kVersionMajor);
    put16(out, kVersionMinor);
    put32(out, 0);  // time zone offset
    put32(out, 0);  // time stamp accuracy
    put32(out, kSnapLength);
    put32(out, link);
}

void appendRecord(std::vector<uint8_t>& out, uint64_t filetime, std::initializer_list<std::span<const uint8_t>> parts) {
    uint64_t ticks = filetime > vek::sys::kUnixEpochTicks ? filetime - vek::sys::kUnixEpochTicks : 0;
    size_t length = 0;
    for (std::span<const uint8_t> part : parts) length += part.size();
    put32(out, static_cast<uint32_t>(ticks / vek::sys::kTicksPerSecond));
    put32(out, static_cast<uint32_t>(ticks % vek::sys::kTicksPerSecond * kNanosecondsPerTick));
    put32(out, static_cast<uint32_t>(length));  // captured: never cut
    put32(out, static_cast<uint32_t>(length));  // original
    for (std::span<const uint8_t> part : parts) out.insert(out.end(), part.begin(), part.end());
}

}  // namespace pcap
