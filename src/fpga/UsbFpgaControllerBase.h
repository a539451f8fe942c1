#pragma once
// The common base of the FPGA-based Plim controllers, a template over the final
// controller class T, which names its device:
//
//   static constexpr uint16_t kVid, kPid;          the device's USB identity
//   static constexpr uint32_t kDefaultBaseIndex;   the uploader's base, in words
//
// It opens the device, chooses between capture and upload-only operation, keeps
// `readParallelism` reads in flight on the single bulk IN endpoint 0x86 and runs
// the firmware uploader. T supplies getLogGuids, processCommand, processData,
// startCapture and stopCapture.
//
// Threads: as UsbControllerBase, plus the upload thread while an upload runs.
// T's decoder state belongs to the process thread; a capture start on the main
// thread resets it only while holding `decoderLock`, which processData holds
// around its decoding.

#include <cstdio>
#include <memory>
#include <mutex>

#include "foundation/Error.h"
#include "foundation/Interrupt.h"
#include "fpga/FpgaUploader.h"
#include "fpga/FpgaUploaderEventSink.h"
#include "session/Message.h"
#include "usb/UsbControllerBase.h"

// Non-template helpers of the base (UsbFpgaControllerBase.cpp).
namespace fpga {

constexpr uint8_t kDataEndpoint = 0x86;     // bulk IN: the capture stream
constexpr uint8_t kCommandEndpoint = 0x02;  // bulk OUT: one-byte device commands

// One byte to the command endpoint, no time limit. False with the USB error set.
bool sendDeviceCommand(vek::io::UsbDevice& device, uint8_t command);

// The uploader's console: standard output, except while standard output carries
// the session's messages, where the texts would corrupt the stream.
std::FILE* uploadConsole(const Settings& settings);

}  // namespace fpga

template <typename T>
class UsbFpgaControllerBase : public UsbControllerBase {
public:
    explicit UsbFpgaControllerBase(const Settings* settings) : UsbControllerBase(settings) {}

    // Opens the device and claims interface 0. Upload-only (FirmwareUploadOnly):
    // starts the worker threads, then the upload, whose end stops the run.
    // Otherwise the capture starts, unless Suspend is set.
    bool start(TransportBase* output, TransportBase* command) override;
    // Once the worker threads have ended, a running upload is waited for (cut
    // short, it would leave the flash half written); an interrupt during the wait
    // abandons it. An upload of this run that failed makes the run fail.
    void waitAndClose() override;

    // Starts an upload of the settings' firmware file at --fpga-base or the
    // device's default base. Main thread; false with the last error set.
    virtual bool uploadFirmware();
    virtual bool startCapture() = 0;
    virtual bool stopCapture() = 0;

    // Where an upload the host asks for reports: to the host, as messages on the
    // output. A T whose output carries no messages declares its own.
    std::unique_ptr<FpgaUploaderEventSink> makeHostUploadSink(TransportBase* output) {
        return std::make_unique<FpgaUploaderTransportEventSink>(output);
    }

    // Upload thread, upload-only runs: the upload ended. A failure becomes the
    // run's failure, so the program exits with its error.
    void endUploadOnlyRun(bool failed) {
        if (failed) recordCaptureFailure();
        stop();
    }

protected:
    void finishUpload();

    bool submitReads() override {
        return queueReads(readList, 0, fpga::kDataEndpoint, UsbReadBlock::kBulk,
                          static_cast<uint32_t>(settings->readBlockSize));
    }
    void cancelReads() override { cancelAndWait(readList); }
    void onReadCompleted(UsbReadBlock* block) override { completeRead(readList, block); }

    // Upload, start and stop: all the commands of a device whose capture start
    // takes no settings, by T's codes kCmdUploadFirmware, kCmdStartCapture and
    // kCmdStopCapture.
    bool processCaptureCommand(const uint8_t* message) {
        switch (messageHeader(message).code) {
            case T::kCmdUploadFirmware: return uploadFirmware();
            case T::kCmdStartCapture: return startCapture();
            case T::kCmdStopCapture: return stopCapture();
            default:
                vek::err::setWinError(vek::err::kWinInvalidParameter);
                return false;
        }
    }

    bool sendDeviceCommand(uint8_t command) { return fpga::sendDeviceCommand(device, command); }
    // The stop every such device shares: its stop byte, then the data endpoint
    // drained of what it captured before.
    bool stopDevice(uint8_t stopCommand) {
        if (!sendDeviceCommand(stopCommand)) return false;
        drainEndpoint(fpga::kDataEndpoint);
        return true;
    }

    // Declared before the uploader, so a running upload is waited for while its
    // sink still exists.
    std::unique_ptr<FpgaUploaderEventSink> uploaderEventSink;
    FpgaUploader uploader;
    UsbReadBlockList readList;
    std::mutex decoderLock;
};

template <typename T>
bool UsbFpgaControllerBase<T>::start(TransportBase* output, TransportBase*) {
    if (!findDevice(T::kVid, T::kPid) || !claimInterface(0)) return false;
    outputTransport = output;
    uploader.setConsole(fpga::uploadConsole(*settings));
    if (settings->has(kFlagFirmwareUploadOnly)) {
        uploaderEventSink = std::make_unique<FpgaUploaderStopControllerEventSink<UsbFpgaControllerBase>>(this);
        // Threads first: an upload that ends at once stops a run that is already
        // running, instead of having its stop cleared by the threads' start.
        return startThreads() && uploadFirmware();
    }
    uploaderEventSink = static_cast<T*>(this)->makeHostUploadSink(output);
    return settings->has(kFlagSuspend) || startCapture();
}

template <typename T>
void UsbFpgaControllerBase<T>::waitAndClose() {
    // The worker threads end first: in an upload-only run they end only when the
    // upload has ended, so the upload is not cut short here.
    if (readThread.joinable()) readThread.join();
    if (processThread.joinable()) processThread.join();
    finishUpload();
    UsbControllerBase::waitAndClose();
}

template <typename T>
void UsbFpgaControllerBase<T>::finishUpload() {
    if (uploader.inProgress()) {
        // Ready for the interrupt before the user is told of it.
        vek::sys::LateInterruptScope abandon([this] { uploader.abandon(); });
        std::fprintf(stderr, "firmware upload of %s is finishing (%u of %u blocks written); %s abandons it\n",
                     uploader.path().c_str(), uploader.blocksWritten(), uploader.blockCount(),
                     vek::sys::interrupted() ? "a second Ctrl-C" : "Ctrl-C");
        uploader.wait();
    }
    uploader.wait();
    // The caller's last error stays: a start that failed reports its own.
    vek::err::Error current = vek::err::copyLastError();
    if (!uploader.takeOutcome()) recordRunFailure();
    vek::err::restoreLastError(current);
}

template <typename T>
bool UsbFpgaControllerBase<T>::uploadFirmware() {
    auto base = settings->fpgaBaseIndex != kNoLimit ? static_cast<uint32_t>(settings->fpgaBaseIndex)
                                                    : T::kDefaultBaseIndex;
    return uploader.start(uploaderEventSink.get(), &device, settings->firmwareFileName, base);
}
