#include "fpga/FpgaUploader.h"

#include <algorithm>
#include <cstdarg>
#include <string>
#include <system_error>

#include "foundation/Error.h"

using vek::io::kNoTimeout;
using vek::io::kVendorIn;
using vek::io::kVendorOut;

namespace {


// Status bits that end the upload, by state. While preparing nothing does: the
// status may still show an earlier session's failure.
uint16_t errorMask(FpgaUploaderState s) {
    switch (s) {
        case FpgaUploaderState::Preparing: return 0;
        case FpgaUploaderState::Erasing:
        case FpgaUploaderState::Uploading: return 0x0200;
        case FpgaUploaderState::StartingFirmware: return 0x0B00;
        default: return 0xFFFF;
    }
}

}  // namespace

FpgaUploader::~FpgaUploader() { join(); }

void FpgaUploader::join() {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();  // the upload's own sink let go of it; the thread ends by itself
    else
        thread.join();
}

void FpgaUploader::stopAndWait() {
    runFlags.fetch_or(kStopRequested);
    wake_.set();
    join();
}

bool FpgaUploader::start(FpgaUploaderEventSink* sink, vek::io::UsbDevice* dev, std::string_view path,
                         uint32_t base) {
    stopAndWait();
    wake_.waitFor(0);  // a wake meant for the previous upload
    runFlags.store(0);
    eventSink = sink;
    device = dev;
    baseIndex = base;
    offset = RpdFile::kHeaderSize;
    totalSize = 0;
    if (!file.load(path)) return false;

    uint8_t deviceVersion[4] = {};
    if (device->controlTransfer(kVendorIn, kRequestVersion, 0, 0, deviceVersion, sizeof deviceVersion, kNoTimeout) <
        0) {
        file.close();
        return false;
    }
    std::array<uint8_t, 4> fileVersion = file.version();
    std::string pathText(path);
    print("Uploading firmware: %s\n  Device version: %d.%d.%d.%d\n  File version:   %d.%d.%d.%d\n  File tag:       %s\n",
          pathText.c_str(), deviceVersion[0], deviceVersion[1], deviceVersion[2], deviceVersion[3], fileVersion[0],
          fileVersion[1], fileVersion[2], fileVersion[3], file.tag().c_str());
    setState(FpgaUploaderState::Preparing);
    try {
        thread = std::thread(&FpgaUploader::threadMain, this);
    } catch (const std::system_error&) {
        setState(FpgaUploaderState::Idle);
        file.close();
        vek::err::setWinError(vek::err::kWinNoSystemResources);
        return false;
    }
    return true;
}

void FpgaUploader::threadMain() {
    for (;;) {
        if (runFlags.load() & kStopRequested) break;
        uint16_t status = 0;
        Poll poll = pollStatus(status);
        if (poll == Poll::kFailed) {
            failWithReport();
            break;
        }
        if (status & errorMask(currentState())) {
            vek::err::setFormatStringError("FPGA uploader status: 0x%04x", status);
            failWithReport();
            break;
        }
        if (poll == Poll::kBusy) {
            wake_.waitFor(kBusyPauseMs);
            continue;
        }
        if (!act() || currentState() == FpgaUploaderState::Done) break;
    }
    file.close();
    setState(FpgaUploaderState::Idle);
}

FpgaUploader::Poll FpgaUploader::pollStatus(uint16_t& status) {
    for (uint32_t i = 0; i < kPollBurst; ++i) {
        uint8_t reply[4] = {};
        int64_t got = device->controlTransfer(kVendorIn, kRequestStatus, 0, 0, reply, sizeof reply, kNoTimeout);
        if (got < 0) return Poll::kFailed;
        if (got < 2) {
            // No status word: it must not pass for "ready, no error".
            vek::err::setFormatStringError("FPGA uploader status: %d-byte reply", static_cast<int>(got));
            return Poll::kFailed;
        }
        status = static_cast<uint16_t>(reply[0] | reply[1] << 8);
        if ((status & kStatusBusy) == 0) return Poll::kReady;
    }
    return Poll::kBusy;
}

bool FpgaUploader::act() {
    switch (currentState()) {
        case FpgaUploaderState::Preparing:
            print("Erasing flash...\n");
            setState(FpgaUploaderState::Erasing);
            return request(kRequestErase, 0, 0, nullptr, 0);
        case FpgaUploaderState::Erasing:
            print("Uploading firmware...\n");
            setState(FpgaUploaderState::Uploading);
            totalSize = file.size();
            offset = RpdFile::kHeaderSize;
            return sendNextBlockOrStart();
        case FpgaUploaderState::Uploading:
            return sendNextBlockOrStart();
        case FpgaUploaderState::StartingFirmware:
            eventSink->onCompleted();
            setState(FpgaUploaderState::Done);
            return true;
        default:
            vek::err::setWinError(vek::err::kWinInvalidHandleState);
            eventSink->onError();
            return false;
    }
}

bool FpgaUploader::sendNextBlockOrStart() {
    if (offset < totalSize) {
        auto n = static_cast<uint16_t>(std::min<uint64_t>(totalSize - offset, kMaxBlockSize));
        // The device addresses 32-bit words; a trailing piece of fewer than four
        // bytes goes out as data but is not counted.
        auto words = static_cast<uint16_t>(n / RpdFile::kAtomSize);
        auto index = static_cast<uint16_t>(baseIndex + (offset - RpdFile::kHeaderSize) / RpdFile::kAtomSize);
        if (!request(kRequestWriteBlock, words, index, file.data() + offset, n)) return false;
        offset += n;
        auto percent = static_cast<uint32_t>(offset * 100 / totalSize);
        eventSink->onProgress(percent);
        print("\b\b\b\b%u%%", percent);
        return true;
    }
    print("\b\b\b\b100%%\nUpload completed (%llu B)\n", static_cast<unsigned long long>(offset));
    print("Starting firmware...\n");
    setState(FpgaUploaderState::StartingFirmware);
    return request(kRequestStartFirmware, 0, 0, nullptr, 0);
}

bool FpgaUploader::request(uint8_t req, uint16_t value, uint16_t index, const uint8_t* data, uint16_t length) {
    if (device->controlTransfer(kVendorOut, req, value, index, const_cast<uint8_t*>(data), length, kNoTimeout) >= 0)
        return true;
    eventSink->onError();
    return false;
}

void FpgaUploader::failWithReport() {
    std::string error = vek::err::getLastErrorDescription();
    eventSink->onError();
    print("\nBase:   0x%x\nAtom:   0x%llx\nOffset: 0x%llx\nError:  %s\n", baseIndex,
          static_cast<unsigned long long>((offset - RpdFile::kHeaderSize) / RpdFile::kAtomSize),
          static_cast<unsigned long long>(offset), error.c_str());
}

void FpgaUploader::print(const char* format, ...) {
    if (!console_) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(console_, format, args);
    va_end(args);
    std::fflush(console_);
}
