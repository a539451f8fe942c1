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

void FpgaUploader::abandon() {
    runFlags.fetch_or(kStopRequested | kAbandoned);
    wake_.set();
}

bool FpgaUploader::takeOutcome() {
    bool failed = ended_ && failed_;
    if (failed) vek::err::restoreLastError(failure_);
    ended_ = failed_ = false;
    failure_.clear();
    return !failed;
}

void FpgaUploader::reportEnd(bool failed) {
    reported_ = true;
    ended_ = true;
    failed_ = failed;
    if (failed) {
        vek::err::addErrorContextF("firmware upload of %s", path_.c_str());
        failure_ = vek::err::copyLastError();
        eventSink->onError();
    } else {
        eventSink->onCompleted();
    }
}

bool FpgaUploader::fitsBlockIndex(std::string_view path) {
    // The block index is 16 bits: one past it would land on the flash's start.
    uint64_t payload = file.size() - RpdFile::kHeaderSize;
    uint64_t words = baseIndex > kMaxBlockIndex ? 0 : uint64_t{kMaxBlockIndex - baseIndex} + 1;
    uint64_t blocks = (words + kMaxBlockSize / RpdFile::kAtomSize - 1) / (kMaxBlockSize / RpdFile::kAtomSize);
    uint64_t limit = RpdFile::kHeaderSize + blocks * kMaxBlockSize;
    if (file.size() <= limit || payload == 0) return true;
    vek::err::setFormatStringError("firmware file %.*s is too large: %llu bytes, at most %llu at base 0x%x",
                                   static_cast<int>(path.size()), path.data(),
                                   static_cast<unsigned long long>(file.size()), static_cast<unsigned long long>(limit),
                                   baseIndex);
    return false;
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
    path_ = path;
    blocksWritten_ = 0;
    blockCount_ = 0;
    reported_ = false;
    // An upload that cannot begin is a failed start, which the caller reports:
    // it leaves no outcome of its own.
    auto refuse = [this] {
        file.close();
        return false;
    };
    if (!file.load(path) || !fitsBlockIndex(path)) return refuse();
    blockCount_ = static_cast<uint32_t>((file.size() - RpdFile::kHeaderSize + kMaxBlockSize - 1) / kMaxBlockSize);

    uint8_t deviceVersion[4] = {};
    if (device->controlTransfer(kVendorIn, kRequestVersion, 0, 0, deviceVersion, sizeof deviceVersion, kNoTimeout) < 0)
        return refuse();
    std::array<uint8_t, 4> fileVersion = file.version();
    print("Uploading firmware: %s\n  Device version: %d.%d.%d.%d\n  File version:   %d.%d.%d.%d\n  File tag:       %s\n",
          path_.c_str(), deviceVersion[0], deviceVersion[1], deviceVersion[2], deviceVersion[3], fileVersion[0],
          fileVersion[1], fileVersion[2], fileVersion[3], file.tag().c_str());
    ended_ = failed_ = false;  // this upload's outcome replaces an earlier one
    setState(FpgaUploaderState::Preparing);
    try {
        thread = std::thread(&FpgaUploader::threadMain, this);
    } catch (const std::system_error&) {
        setState(FpgaUploaderState::Idle);
        vek::err::setWinError(vek::err::kWinNoSystemResources);
        return refuse();
    }
    return true;
}

void FpgaUploader::threadMain() {
    for (;;) {
        uint32_t flags = runFlags.load();
        if (flags & kAbandoned) {
            vek::err::setFormatStringError("interrupted after %u of %u blocks", blocksWritten_.load(),
                                           blockCount_.load());
            reportEnd(true);
            break;
        }
        if (flags & kStopRequested) break;
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
            reportEnd(false);
            setState(FpgaUploaderState::Done);
            return true;
        default:
            vek::err::setWinError(vek::err::kWinInvalidHandleState);
            reportEnd(true);
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
        ++blocksWritten_;
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
    reportEnd(true);
    return false;
}

void FpgaUploader::failWithReport() {
    std::string error = vek::err::getLastErrorDescription();
    reportEnd(true);
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
