#pragma once
// The capture controller of the Serial Plim, a USB device that listens on both
// directions of a serial line (line 0 and line 1). Both receivers are programmed
// with the command line's line settings at every start; then a data endpoint and a
// status endpoint per line are read through the pipeline of UsbControllerBase.
// Received bytes become data messages; CDC SERIAL_STATE notifications become
// status and line-error messages. Host command 6 reprograms both lines.
//
// Threads as in UsbControllerBase: start and processCommand on the main thread
// (processCommand issues control requests while the capture threads read, which
// libusb allows), processData on the process thread only.

#include <cstdint>
#include <span>

#include "usb/UsbControllerBase.h"

enum SerialPlimMessageCode : uint8_t {
    kMsgPlimLine0Data = 0x02,     // to host: bytes received on line 0
    kMsgPlimLine1Data = 0x03,     // to host: bytes received on line 1
    kMsgPlimLine0Status = 0x04,   // to host: u32 kPlimState* bits of line 0
    kMsgPlimLine1Status = 0x05,   // to host: u32 kPlimState* bits of line 1
    kCmdPlimLineSettings = 0x06,  // to device: SerialConfig bytes, both lines
    kMsgPlimLineErrors = 0x21,    // to host: u32 kPlimLineError* bits
};

inline constexpr uint16_t kSerialPlimVid = 0x16D0;
inline constexpr uint16_t kSerialPlimPid = 0x0E26;

// Log-record class of serial data, {29725452-E64F-4C0E-A871-776277B68572}: the
// same class as the serial port controller's, so a viewer reads both alike.
inline constexpr vek::Guid kSerialPlimLogGuid{
    0x29725452, 0xE64F, 0x4C0E, {0xA8, 0x71, 0x77, 0x62, 0x77, 0xB6, 0x85, 0x72}};

// Status bits, as the low byte of the SERIAL_STATE bitmap numbers them.
inline constexpr uint32_t kPlimStateRxCarrier = 0x01;
inline constexpr uint32_t kPlimStateTxCarrier = 0x02;
inline constexpr uint32_t kPlimStateBreak = 0x04;
inline constexpr uint32_t kPlimStateFraming = 0x10;
inline constexpr uint32_t kPlimStateParity = 0x20;

// Bits of the line-error message.
inline constexpr uint32_t kPlimLineErrorFraming = 0x1;
inline constexpr uint32_t kPlimLineErrorParity = 0x2;
inline constexpr uint32_t kPlimLineErrorBreak = 0x4;

class SerialPlimController final : public UsbControllerBase {
public:
    explicit SerialPlimController(const Settings* settings);
    // Stops and joins a capture still running before the lists go.
    ~SerialPlimController() override;

    std::span<const vek::Guid> getLogGuids() const override;
    // Code 6 with at least 8 payload bytes reprograms both lines (the settings are
    // not kept for the next start); a shorter payload fails with Windows error 122
    // and sends nothing, another code with 87.
    bool processCommand(const uint8_t* message) override;
    // Finds device number deviceIndex, claims interfaces 0 and 1, programs both
    // lines from the command line, sends the status of both lines as its inputs
    // read, and starts the capture threads. --suspend has no effect here.
    bool start(TransportBase* output, TransportBase* command) override;

    // Programs line 0, then line 1, with `config`; the first failure ends it.
    bool setSerialConfig(const SerialConfig& config);
    // True when status input `input` reads as active (both bytes 0: active low).
    // A failed request sets the last error and reads as inactive.
    bool readPin(uint16_t input);

protected:
    bool submitReads() override;
    void cancelReads() override;
    void onReadCompleted(UsbReadBlock* block) override;
    bool processData(UsbReadBlock* block) override;

private:
    bool writeValue(uint8_t code, uint32_t value);
    bool processNotification(UsbReadBlock& block);

    UsbReadBlockList line0Data_;
    UsbReadBlockList line0Status_;
    UsbReadBlockList line1Data_;
    UsbReadBlockList line1Status_;
    // [block kind][line]: the in-flight list a completed read belongs to.
    UsbReadBlockList* const lists_[2][2] = {{&line0Data_, &line1Data_}, {&line0Status_, &line1Status_}};
};
