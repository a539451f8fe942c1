#pragma once
// The Serial Plim Pro (--serial-plim-pro): an FPGA device that time-stamps what
// it sees on a serial line, drives the line's DTR and RTS and transmits bytes.
// It is programmed through 16-bit registers; its capture stream (endpoint 0x86,
// one 512-byte packet per read) goes through one of two decoders.
//
// Host commands: 6 line settings (SerialConfig, kept for later starts), 36 DTR
// and 37 RTS (u8 level), 40 transmit, 51 upload the firmware file, 52 start and
// 53 stop the capture, 54 decoder mode (u8: 1 raw packets, else decoded) with a
// decoder reset, 55 option bits (u8, bits 0x4C). A payload below its minimum
// fails with Windows error 122, an unknown code with 87.
//
// Threads: commands and register access on the main thread; processData on the
// process thread, under decoderLock, which the decoder's reset and a change of
// decoder mode also take. A transmit is one bulk OUT transfer made before the
// command is answered: the command loop waits for the device to take the bytes,
// so at most one command's bytes are ever outstanding and every acknowledged
// transmit has reached the device before the session can close it. The wait is
// bounded by the bytes' time on the line and a grace second; a transmit that
// fails or times out fails its command.

#include <span>

#include "fpga/SerialPlimPro.h"
#include "fpga/SerialPlimProDecoder.h"
#include "fpga/UsbFpgaControllerBase.h"

class SerialPlimProController final : public UsbFpgaControllerBase<SerialPlimProController> {
public:
    static constexpr uint16_t kVid = serialpro::kVid;
    static constexpr uint16_t kPid = serialpro::kPid;
    static constexpr uint32_t kDefaultBaseIndex = serialpro::kDefaultBaseIndex;

    // Bits of register 4.
    static constexpr uint32_t kCaptureEnable = 0x01;
    static constexpr uint32_t kRts = 0x10;
    static constexpr uint32_t kDtr = 0x20;
    static constexpr uint32_t kOptionBits = 0x4C;

    static constexpr uint32_t kMaxBaudRate = 2'500'000;
    static constexpr uint32_t kRawMode = 1;

    explicit SerialPlimProController(const Settings* settings);
    ~SerialPlimProController() override;

    std::span<const vek::Guid> getLogGuids() const override { return serialpro::kLogGuids; }
    bool processCommand(const uint8_t* message) override;
    // Stops the capture, resets the decoder, programs the line and the timer,
    // enables the capture and, unless they run already, starts the worker
    // threads. The first failing write ends it (false, threads not started).
    bool startCapture() override;
    // Register 4 to 0 (DTR, RTS and option bits drop with it; lineFlags keeps
    // them for the next start), then the endpoint drained.
    bool stopCapture() override;

    // Main thread, device open. A failed read (USB error set) reads as 0; a
    // failed write is false with the USB error set.
    uint16_t readRegister(uint16_t n);
    bool writeRegister(uint16_t n, uint16_t value);
    // The fractional generator: registers 10-13 hold n and r with
    // n / (n + r) = 16 x baud / 48 MHz. Above 2.5 Mbps nothing is written.
    bool setBaudRate(uint32_t baud);
    // The baud rate, then the frame format (register 14); flow control is not sent.
    bool setSerialConfig(const SerialConfig& config);
    // The decoder state from the status and line-state registers (3, 15) and
    // the system time.
    void resetDecoder() { resetDecoder(decoderMode_); }

    uint32_t lineFlags() const { return lineFlags_; }

    // What the device takes past the bytes' time on the line.
    static constexpr uint32_t kTransmitGraceMs = 1000;
    // How long `size` bytes may take to leave at `config`: their time on the
    // line, rounded up to whole milliseconds, plus the grace.
    static uint32_t transmitTimeoutMs(const SerialConfig& config, size_t size);

protected:
    bool processData(UsbReadBlock* block) override;

private:
    // Reads the registers first, then sets mode and state under decoderLock.
    void resetDecoder(uint32_t mode);
    bool changeSerialConfig(const uint8_t* payload);
    // Sets or clears `bit` of lineFlags and writes register 4 with the capture on.
    bool setLineFlag(uint32_t bit, bool on);
    bool writeControl() { return writeRegister(kRegControl, static_cast<uint16_t>(lineFlags_ | kCaptureEnable)); }
    // One bulk OUT transfer, bounded by transmitTimeoutMs. False with the USB
    // error when it fails or times out (LIBUSB_ERROR_TIMEOUT): a device that
    // never takes the bytes must not hold the command loop for ever.
    bool transmit(const uint8_t* bytes, size_t size);

    enum Register : uint16_t {
        kRegStatus = 3,
        kRegControl = 4,
        kRegClear5 = 5,
        kRegClear6 = 6,
        kRegClear7 = 7,
        kRegBaudNumeratorLow = 10,
        kRegBaudNumeratorHigh = 11,
        kRegBaudRemainderLow = 12,
        kRegBaudRemainderHigh = 13,
        kRegFrameFormat = 14,
        kRegLineState = 15,
        kRegTimerLow = 16,
        kRegTimerHigh = 17,
    };

    // Guarded by decoderLock.
    SerialProDecoder decoder_;
    uint32_t decoderMode_ = 0;
    SerialProDecoder_std decodeStd_;
    SerialProDecoder_raw decodeRaw_;
    // The main thread's.
    SerialConfig serialConfig_;
    uint32_t timerPeriodMs_ = 20;
    uint32_t lineFlags_ = 0;
};
