#pragma once
// The Serial Plim Pro's own part of the fpga model (326f:0005), beside the
// uploader the model shares with the other FPGA devices:
//
// - 16-bit registers behind vendor requests 0xc0 0x58 (read register wIndex)
//   and 0x40 0x59 (write it), two data bytes, big-endian; the core records
//   every request, so the record shows each read and write;
// - the capture stream flows while bit 0 of register 4 is set;
// - bulk OUT 0x02 takes the bytes the device sends on its line (recorded by
//   the core as `out` lines);
// - statements that write the capture stream from readable line events: each
//   becomes one record (type, LEB128 delta, its bytes), packed into 512-byte
//   packets that no record crosses (the rest of a packet is zeros).
//
// README.md lists the statements. Called with the simulator's lock held, as
// every model is.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "qwsim/DeviceModel.h"

namespace qwsim {

class GenericModel;

class FpgaSerialPro {
public:
    static constexpr uint16_t kVid = 0x326F;
    static constexpr uint16_t kPid = 0x0005;
    static constexpr size_t kPacketSize = 512;
    static constexpr size_t kRegisterCount = 32;

    // Records go to `stream`, the model's capture stream, as `bytes` items.
    explicit FpgaSerialPro(GenericModel& stream) : stream_(stream) {}

    // A statement the fpga model does not know: empty when taken, else the complaint.
    std::string configure(const Statement& st);
    bool isRegisterRequest(const ControlSetup& setup) const;
    int control(const ControlSetup& setup, uint8_t* data);
    bool capturing() const;
    // Opening the device switches the capture off, as on every FPGA device.
    void opened();

private:
    std::string configureRegister(const Statement& st);
    std::string configureRx(const Statement& st);
    // `line-state`, `device-status`, `event`: a record of one type.
    std::string configureRecord(const Statement& st, uint8_t type, const char* usage);
    // Appends a record to the stream: type, delta, then `args`.
    void addRecord(uint8_t type, uint64_t delta, const uint8_t* args, size_t argCount, std::vector<uint8_t>* out);
    // Zeros up to the end of the current packet.
    void endPacket(std::vector<uint8_t>* out);
    std::string emit(const std::vector<uint8_t>& bytes);

    GenericModel& stream_;
    std::array<uint16_t, kRegisterCount> registers_{};
    size_t packetUsed_ = 0;  // bytes of the stream's current packet
};

}  // namespace qwsim
