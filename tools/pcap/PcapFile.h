#pragma once
// Writing pcap files: the global header and the records, with nanosecond time
// stamps taken from FILETIME (100 ns since 1601). Bytes are appended to a
// buffer the caller writes out; nothing here does I/O.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace pcap {

enum LinkType : uint32_t {
    kLinkEthernet = 1,
    kLinkUser0 = 147,     // one host message per record, for quenwick.lua
    kLinkI2cLinux = 209,  // Wireshark's own I2C dissector
};

constexpr uint32_t kMagicNanoseconds = 0xA1B23C4D;
constexpr uint16_t kVersionMajor = 2, kVersionMinor = 4;
// Wireshark's largest record: covers a host message with its pseudo-header.
constexpr uint32_t kSnapLength = 262144;
constexpr size_t kGlobalHeaderSize = 24;
constexpr size_t kRecordHeaderSize = 16;

void appendGlobalHeader(std::vector<uint8_t>& out, LinkType link);

// One record of the parts back to back, stamped `filetime`. Times before 1970
// show as 1970; seconds wrap after 2106, as the format's field does.
void appendRecord(std::vector<uint8_t>& out, uint64_t filetime, std::initializer_list<std::span<const uint8_t>> parts);

}  // namespace pcap
