#include "fpga/I2cPlimController.h"

#include "foundation/Error.h"
#include "session/Message.h"

I2cPlimController::~I2cPlimController() {
    // The worker threads call processData, which needs the decoder.
    stop();
    waitAndClose();
}

bool I2cPlimController::startCapture() {
    if (!stopCapture()) return false;
    {
        std::lock_guard<std::mutex> hold(decoderLock);
        decoder.reset();
    }
    return sendDeviceCommand(i2cspi::kStartI2c) && startThreads();
}

bool I2cPlimController::processData(UsbReadBlock* block) {
    std::lock_guard<std::mutex> hold(decoderLock);
    decoder.decode(block->data(), static_cast<size_t>(block->result), *outputTransport);
    return true;
}
