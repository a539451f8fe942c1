#pragma once
// The I2C/SPI Plim monitoring an I2C bus (--i2c-plim). Host commands: 17 upload
// the firmware file, 18 start the capture, 19 stop it.

#include "fpga/I2cDecoder.h"
#include "fpga/I2cSpiPlim.h"
#include "fpga/UsbFpgaControllerBase.h"

class I2cPlimController final : public UsbFpgaControllerBase<I2cPlimController> {
public:
    static constexpr uint16_t kVid = i2cspi::kVid;
    static constexpr uint16_t kPid = i2cspi::kPid;
    static constexpr uint32_t kDefaultBaseIndex = i2cspi::kDefaultBaseIndex;

    enum Command : uint8_t { kCmdUploadFirmware = 17, kCmdStartCapture = 18, kCmdStopCapture = 19 };

    explicit I2cPlimController(const Settings* settings) : UsbFpgaControllerBase(settings) {}
    ~I2cPlimController() override;

    std::span<const vek::Guid> getLogGuids() const override { return i2cspi::kLogGuids; }
    bool processCommand(const uint8_t* message) override { return processCaptureCommand(message); }
    // Stops the device and drains it, resets the decoder, starts the monitor and,
    // unless they run already, the worker threads.
    bool startCapture() override;
    bool stopCapture() override { return stopDevice(i2cspi::kStopMonitor); }

protected:
    bool processData(UsbReadBlock* block) override;

private:
    I2cDecoder decoder;
};
