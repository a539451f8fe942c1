#include "fpga/SpiPlimController.h"

#include "foundation/Error.h"
#include "session/Message.h"

SpiPlimController::~SpiPlimController() {
    // The worker threads call processData, which needs the decoder.
    stop();
    waitAndClose();
}

bool SpiPlimController::processCommand(const uint8_t* message) {
    MessageHdr header = messageHeader(message);
    switch (header.code) {
        case kCmdUploadFirmware: return uploadFirmware();
        case kCmdStartCapture: {
            if (header.size < kStartPayloadMin) {
                vek::err::setWinError(vek::err::kWinInsufficientBuffer);
                return false;
            }
            const uint8_t* p = messagePayload(message);
            return startSpiCapture(SpiConfig{p[0], p[1], p[2]});
        }
        case kCmdStopCapture: return stopCapture();
        default:
            vek::err::setWinError(vek::err::kWinInvalidParameter);
            return false;
    }
}

bool SpiPlimController::startSpiCapture(const SpiConfig& config) {
    if (!stopCapture()) return false;
    {
        std::lock_guard<std::mutex> hold(decoderLock);
        decoder.reset(config);
    }
    uint8_t command = static_cast<uint8_t>((config.isLittleEndian ? i2cspi::kStartSpiLittleEndian : i2cspi::kStartSpi) +
                                           config.mode);
    return sendDeviceCommand(command) && startThreads();
}

bool SpiPlimController::processData(UsbReadBlock* block) {
    std::lock_guard<std::mutex> hold(decoderLock);
    decoder.decode(block->data(), static_cast<size_t>(block->result), *outputTransport);
    return true;
}
