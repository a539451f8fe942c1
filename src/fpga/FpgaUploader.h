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
// Threads: start, stopAndWait, wait, takeOutcome and the destructor on the
// controller's main thread; abandon and the progress getters on any thread; the
// upload thread uses only the uploader's members, the device's control endpoint
// and the sink.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>

#include "fpga/FpgaUploaderEventSink.h"
#include "fpga/RpdFile.h"
#include "foundation/Error.h"
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
    // wIndex is 16 bits: the last block of a file must start at or below this word.
    static constexpr uint32_t kMaxBlockIndex = 0xFFFF;

    FpgaUploader() = default;
    FpgaUploader(const FpgaUploader&) = delete;
    FpgaUploader& operator=(const FpgaUploader&) = delete;
    // Waits for a running upload to finish (it is not stopped).
    ~FpgaUploader();

    // Stops and waits for an upload still running (it ends without calling its
    // sink), reads the file, asks the device for its version, prints the upload's
    // first lines and starts the upload thread. `sink` and `device` must outlive
    // the upload. False with the last error set; nothing is sent to the device
    // when the file cannot be read or does not fit below the 16-bit block index.
    bool start(FpgaUploaderEventSink* sink, vek::io::UsbDevice* device, std::string_view path, uint32_t baseIndex);
    // Asks a running upload to stop and waits until its thread has ended; it ends
    // at its next step without calling the sink. Harmless when none runs.
    void stopAndWait();
    // Ends a running upload at its next step as a failure: the sink hears onError,
    // with an error naming the file and the blocks written. Returns at once.
    void abandon();
    // Waits until the upload thread has ended, however long the upload takes.
    void wait() { join(); }
    // Whether an upload runs that has not yet reported its end to the sink.
    bool inProgress() const { return currentState() != FpgaUploaderState::Idle && !reported_.load(); }
    // The outcome of the last upload that ended since the previous call: false
    // with its failure as the last error when it failed or was abandoned.
    bool takeOutcome();

    const std::string& path() const { return path_; }
    uint32_t blocksWritten() const { return blocksWritten_.load(); }
    uint32_t blockCount() const { return blockCount_.load(); }

    FpgaUploaderState currentState() const { return static_cast<FpgaUploaderState>(state.load()); }
    void setConsole(std::FILE* console) { console_ = console; }

private:
    enum RunFlag : uint32_t { kStopRequested = 0x1, kAbandoned = 0x2 };
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
    // The upload's last word to its sink; `failed` keeps the last error as the outcome.
    void reportEnd(bool failed);
    bool fitsBlockIndex(std::string_view path);
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
    std::string path_;
    std::atomic<uint32_t> blocksWritten_{0};
    std::atomic<uint32_t> blockCount_{0};
    std::atomic<bool> reported_{false};
    bool ended_ = false;     // an upload has ended since takeOutcome; the upload thread's until joined
    bool failed_ = false;    // and it failed, with `failure_`
    vek::err::Error failure_;
};
