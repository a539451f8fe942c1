#pragma once
// An EZ-USB (FX2-family) chip with its boot EEPROM, as quenwick-hwc's --ezusb
// upload drives it.
//
// The USB core serves vendor request 0xA0: writes into the 64 KiB RAM, among
// them the CPU control register CPUCS at 0xE600, whose bit 0 holds the 8051 in
// reset. When the reset is released after RAM was loaded while it was held,
// firmware runs, and the core hands it every other vendor request; without
// running firmware they stall (the chip would leave them unanswered). No
// endpoints but endpoint 0.
//
// The firmware seam: Firmware serves the requests handed on. By default the
// image loaded into RAM runs on an emulated chip (Fx2Chip.h) with the EEPROM
// on its I2C bus; `firmware scripted` puts a stand-in in its place that does
// what firmware/loader.c does with request 0xA2 straight on the EEPROM model,
// whatever was loaded (for tests that inject faults around the loader).
//
// RAM and EEPROM are written to the files of `dump` statements when the last
// handle closes (for quenwick-hwc: when it is done with the device).

#include <memory>
#include <string>
#include <vector>

#include "EzUsbEeprom.h"
#include "qwsim/DeviceModel.h"

namespace qwsim {

class EzUsbModel final : public DeviceModel {
public:
    class Firmware {
    public:
        virtual ~Firmware() = default;
        // A vendor request the USB core passes on, as DeviceModel::control.
        virtual int control(const ControlSetup& setup, uint8_t* data) = 0;
    };

    std::string configure(const Statement& st, int endpoint) override;
    std::vector<EndpointInfo> endpoints() const override { return {}; }
    int control(const ControlSetup& setup, uint8_t* data, SimTime now) override;
    InData readIn(uint8_t, uint8_t*, size_t, SimTime) override { return {}; }
    int writeOut(uint8_t, const uint8_t*, size_t, SimTime) override;
    void closed() override;

private:
    std::string configureEeprom(const Statement& st);
    int writeRam(const ControlSetup& setup, const uint8_t* data);
    void setCpuControl(uint8_t value);

    std::vector<uint8_t> ram_ = std::vector<uint8_t>(65536, 0);
    bool held_ = false;
    bool loaded_ = false;  // RAM written while the CPU was held
    bool emulated_ = true;  // the loaded image runs on an emulated chip (Fx2Chip.h), not the stand-in
    std::unique_ptr<Firmware> firmware_;
    EzUsbEeprom eeprom_;
    ChipTime chipClock_ = 0;  // the emulated chip's time, which its resets do not restart
    std::string ramDump_, eepromDump_;
};

}  // namespace qwsim
