#pragma once
// Writes an FPGA configuration file (*.rpd) into a device's configuration flash
// through the uploader's vendor requests, on a thread of its own:
//
//   0x50 IN   4 bytes   device firmware version
//   0x51 IN   4 bytes   status: u16 little-endian, then two ignored bytes
//   0x52 OUT            erase the flash
//   0x53 OUT  <= 64 B   one block; wValue = its whole words, wIndex = word address
//   0x54 OUT            start the new firmware
//
// Every step waits until the status shows no busy bit, polling in bursts of 10
// reads with a 100 ms pause between bursts. Progress, failure and completion go to
// an FpgaUploaderEventSink; console texts go to standard output (or the console
// chosen with setConsole).
//
// Threads: start, stopAndWait and the destructor on the controller's main thread;
// the upload thread uses only the uploader's members, the device's control
// endpoint and the sink.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <thread>

#include "fpga/FpgaUploaderEventSink.h"
#include "fpga/RpdFile.h"
#include "foundation/Event.h"
#include "foundation/Format.h"
#include "usb/UsbDevice.h"

enum class FpgaUploaderState : int32_t {
    Idle = 0,
    Preparing = 1,
    Erasing = 2,
    Uploading = 3,
    StartingFirmware = 4,
    Done = 5,
};

class FpgaUploader {
public:
    static constexpr uint8_t kRequestVersion = 0x50;
    static constexpr uint8_t kRequestStatus = 0x51;
    static constexpr uint8_t kRequestErase = 0x52;
    static constexpr uint8_t kRequestWriteBlock = 0x53;
    static constexpr uint8_t kRequestStartFirmware = 0x54;
    static constexpr uint16_t kStatusBusy = 0x1400;
    static constexpr uint32_t kPollBurst = 10;
    static constexpr uint32_t kBusyPauseMs = 100;
    static constexpr uint32_t kMaxBlockSize = 64;

    FpgaUploader() = default;
    FpgaUploader(const FpgaUploader&) = delete;
    FpgaUploader& operator=(const FpgaUploader&) = delete;
    // Waits for a running upload to finish (it is not stopped).
    ~FpgaUploader();

    // Stops and waits for an upload still running (it ends without calling its
    // sink), reads the file, asks the device for its version, prints the upload's
    // first lines and starts the upload thread. `sink` and `device` must outlive
    // the upload. False with the last error set; nothing is sent to the device
    // when the file cannot be read.
    bool start(FpgaUploaderEventSink* sink, vek::io::UsbDevice* device, std::string_view path, uint32_t baseIndex);
    // Asks a running upload to stop and waits until its thread has ended; it ends
    // at its next step without calling the sink. Harmless when none runs.
    void stopAndWait();

    FpgaUploaderState currentState() const { return static_cast<FpgaUploaderState>(state.load()); }
    void setConsole(std::FILE* console) { console_ = console; }

private:
    enum RunFlag : uint32_t { kStopRequested = 0x1 };
    enum class Poll { kReady, kBusy, kFailed };

    void join();
    void threadMain();
    // Up to kPollBurst status reads; stops at the first without a busy bit.
    Poll pollStatus(uint16_t& status);
    // The step of the current state; false when the upload ends here.
    bool act();
    bool sendNextBlockOrStart();
    bool request(uint8_t request, uint16_t value, uint16_t index, const uint8_t* data, uint16_t length);
    void failWithReport();
    void setState(FpgaUploaderState s) { state.store(static_cast<int32_t>(s)); }
    void print(const char* format, ...) VEK_PRINTF_FORMAT(2, 3);

    std::atomic<int32_t> state{static_cast<int32_t>(FpgaUploaderState::Idle)};
    std::atomic<uint32_t> runFlags{0};
    FpgaUploaderEventSink* eventSink = nullptr;
    vek::io::UsbDevice* device = nullptr;
    RpdFile file;
    std::thread thread;
    uint64_t totalSize = 0;
    uint64_t offset = RpdFile::kHeaderSize;  // of the next byte to send
    uint32_t baseIndex = 0;                  // in 32-bit words
    vek::sys::Event wake_;                   // ends the pause between bursts early
    std::FILE* console_ = stdout;
};
