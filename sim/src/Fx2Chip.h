#pragma once
// An EZ-USB (FX2) chip running the image the host loaded into its RAM: the 8051
// core, and the parts of the chip a loader reaches through external data space:
//   CPUCS       0xE600  the clock speed (bits 4-3: 12, 24, 48 MHz); bit 0, the
//                       reset, is the host's
//   USBIRQ      0xE65D  SUDAV (bit 0) and SUTOK (bit 2) when a SETUP arrives,
//                       EP0ACK (bit 6) when its status stage completes; write 1 to clear
//   I2CS, I2DAT, I2CTL  0xE678-0xE67A, the I2C master (Fx2I2c.h) with the EEPROM
//   EP0BCH, EP0BCL      0xE68A-0xE68B, endpoint 0's byte count; writing EP0BCL
//                       hands the buffer to the USB side (busy) for one packet
//   EP0CS       0xE6A0  HSNAK (bit 7, write 1: complete the status stage), BUSY
//                       (bit 1), STALL (bit 0)
//   SETUPDAT    0xE6B8  the 8 bytes of the SETUP packet, read-only
//   EP0BUF      0xE740  64 bytes
// The rest of the 64 KiB is RAM the core fetches its code from.
//
// It serves the vendor requests the USB core hands to firmware: `control`
// delivers the SETUP and runs the core until the firmware completes the request,
// in 64-byte packets through EP0BUF in either direction and a handshake; the
// request ends with what the firmware moved, or stalls when it sets STALL. The
// chip's clock runs only then, so nothing happens between requests.
//
// A firmware that does not complete a request within kAnswerTimeUs of the chip's
// time fails it with LIBUSB_ERROR_TIMEOUT: USB gives a device 5 s to complete a
// request with a data stage, and a host's driver gives up then too (libusb with
// timeout 0 would wait for ever, which a simulated device must not make a test
// do). A runaway core, one that has not touched the chip's registers for
// kRunawayCycles or sits on the undefined opcode, fails the request the same way.
// Each failure is recorded as a `firmware timeout` or `firmware runaway` line.
//
// Called with the simulator's lock held (EzUsbModel.h).

#include <climits>
#include <cstdint>
#include <vector>

#include "EzUsbEeprom.h"
#include "EzUsbModel.h"
#include "Fx2I2c.h"
#include "Mcs51.h"

namespace qwsim {

class Fx2Chip final : public EzUsbModel::Firmware, private Mcs51Bus {
public:
    static constexpr int64_t kAnswerTimeUs = 5'000'000;
    static constexpr uint64_t kRunawayCycles = uint64_t{1} << 20;  // 350 ms at 12 MHz

    // `ram` is the chip's 64 KiB; core and chip start from reset. `clock` is the
    // chip's time, kept by the owner across resets (an EEPROM write cycle goes on
    // through them); the chip takes it up and brings it forward with each request.
    Fx2Chip(std::vector<uint8_t>& ram, EzUsbEeprom& eeprom, ChipTime& clock);

    int control(const ControlSetup& setup, uint8_t* data) override;

    const Mcs51& core() const { return core_; }
    ChipTime now() const { return base_ + static_cast<ChipTime>(core_.cycles() - baseCycles_) * clocksPerCycle_; }

private:
    static constexpr int kPending = INT_MIN;  // no request ends with it: they end with counts or libusb errors

    uint8_t readXdata(uint16_t address) override;
    void writeXdata(uint16_t address, uint8_t value) override;
    uint8_t readRegister(uint16_t address);
    void writeRegister(uint16_t address, uint8_t value);
    void setClock(uint8_t cpucs);
    void deliverSetup(const ControlSetup& setup, uint8_t* data);
    void arm(uint8_t count);
    void sync();
    void movePacket();
    void settle();
    void finish(int result);
    void fail(const std::string& why);

    std::vector<uint8_t>& ram_;
    ChipTime& clock_;
    Mcs51 core_;
    Fx2I2c i2c_;
    ChipTime base_ = 0;
    uint64_t baseCycles_ = 0;
    ChipTime clocksPerCycle_ = 16;
    uint64_t lastAccess_ = 0;  // cycle count at the last register access

    uint8_t usbIrq_ = 0;
    bool handshakeHeld_ = false, busy_ = false, stall_ = false;
    ChipTime packetEnd_ = -1;  // the packet in flight arrives then; -1: none
    size_t packetBytes_ = 0;

    struct Request {
        ControlSetup setup;
        uint8_t* data = nullptr;  // the host's buffer, only while the request runs
        size_t moved = 0;
        bool dataDone = true;
        int result = 0;  // kPending while it runs
    } request_;
};

}  // namespace qwsim
