#pragma once
// The I2C/SPI Plim monitoring an SPI bus (--spi-plim). Host commands: 23 upload
// the firmware file, 24 start the capture with the payload's SpiConfig (mode, data
// bits, little-endian), 25 stop it.

#include "fpga/I2cSpiPlim.h"
#include "fpga/SpiDecoder.h"
#include "fpga/UsbFpgaControllerBase.h"

class SpiPlimController final : public UsbFpgaControllerBase<SpiPlimController> {
public:
    static constexpr uint16_t kVid = i2cspi::kVid;
    static constexpr uint16_t kPid = i2cspi::kPid;
    static constexpr uint32_t kDefaultBaseIndex = i2cspi::kDefaultBaseIndex;

    enum Command : uint8_t { kCmdUploadFirmware = 23, kCmdStartCapture = 24, kCmdStopCapture = 25 };
    // Command 24 needs this much payload, though it reads only the first three bytes.
    static constexpr uint16_t kStartPayloadMin = 4;

    explicit SpiPlimController(const Settings* settings) : UsbFpgaControllerBase(settings) {}
    ~SpiPlimController() override;

    std::span<const vek::Guid> getLogGuids() const override { return i2cspi::kLogGuids; }
    bool processCommand(const uint8_t* message) override;
    bool startCapture() override { return startSpiCapture(settings->spiConfig); }
    bool stopCapture() override { return stopDevice(i2cspi::kStopMonitor); }
    // Stops the device and drains it, resets the decoder for `config`, starts the
    // monitor in its mode and, unless they run already, the worker threads. The
    // data bits are the decoder's alone; the device is not told.
    virtual bool startSpiCapture(const SpiConfig& config);

protected:
    bool processData(UsbReadBlock* block) override;

private:
    SpiDecoder decoder;
};
