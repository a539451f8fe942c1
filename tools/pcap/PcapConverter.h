#pragma once
// Turns one device's host messages, each with its time, into a pcap file:
//
//   USER0      every message whole, behind a one-byte pseudo-header naming the
//              device family (familyNumber): [family][2, code, u16 size][payload].
//              quenwick.lua reads these. The family tells the dissector what
//              the codes mean, which the message alone cannot.
//   I2C_LINUX  I2C bus transfers for Wireshark's own I2C dissector: one record
//              per transfer from a START (or repeated START) to the next START
//              or STOP, of the address byte(s) and the data bytes, behind the
//              5-byte pseudo-header {bus 0 and bit 7 clear (data, not an
//              event); u32 big-endian flags: 0x0001 read, 0x0010 10-bit address}.
//              The acknowledge bits have no place there.
//   Ethernet   the Ethernet Plim's frames, without the record's header word
//              and padding.
//
// The native form (I2C_LINUX for I2C, Ethernet for the Ethernet Plim, USER0
// for the rest) leaves out the messages it has no place for, and counts them.
// A Serial Plim Pro raw packet (0x29) is stamped with the device's own time
// from its payload instead of the time given. A message without a time of its
// own (a message stream records none) takes the time of the one before it,
// the Unix epoch at first.
//
// Not thread-safe: one capture's writer at a time.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "DeviceFamily.h"
#include "PcapFile.h"

class PcapConverter {
public:
    enum class Form { kNative, kMessages };

    PcapConverter(DeviceFamily family, Form form);

    pcap::LinkType linkType() const { return link_; }
    // The global header, once at the start of each file.
    void begin(std::vector<uint8_t>& out) const { pcap::appendGlobalHeader(out, link_); }
    // One message; its records (none while an I2C transfer is open) go to `out`.
    void message(std::optional<uint64_t> time, uint8_t code, std::span<const uint8_t> payload,
                 std::vector<uint8_t>& out);
    // The end of the capture: an I2C transfer still open is written.
    void finish(std::vector<uint8_t>& out);
    // Messages the form had no place for: I2C bus events that are no transfer,
    // errors and progress in the I2C_LINUX and Ethernet forms, data without an
    // address before it.
    uint64_t leftOut() const { return leftOut_; }

private:
    void i2cMessage(uint64_t time, uint8_t code, std::span<const uint8_t> payload, std::vector<uint8_t>& out);
    void ethernetMessage(uint64_t time, uint8_t code, std::span<const uint8_t> payload, std::vector<uint8_t>& out);
    void endTransfer(std::vector<uint8_t>& out);

    DeviceFamily family_;
    pcap::LinkType link_;
    uint64_t leftOut_ = 0;
    uint64_t lastTime_ = 0;

    // The I2C transfer being gathered.
    bool open_ = false;      // after a START
    uint64_t start_ = 0;     // its time
    uint32_t flags_ = 0;     // pseudo-header flags
    std::vector<uint8_t> transfer_;  // address byte(s), then data; empty: no address yet
};
