#include "support/FakeController.h"

#include "app/session/Message.h"
#include "foundation/Error.h"

FakeController::~FakeController() {
    if (thread_.joinable()) thread_.join();
}

std::vector<std::vector<uint8_t>> FakeController::commands() const {
    std::lock_guard<std::mutex> hold(commandsMutex_);
    return commands_;
}

bool FakeController::processCommand(const uint8_t* message) {
    MessageHdr hdr = messageHeader(message);
    {
        std::lock_guard<std::mutex> hold(commandsMutex_);
        commands_.emplace_back(message, message + sizeof(MessageHdr) + hdr.size);
    }
    if (hdr.code == kFailingCommand) {
        vek::err::setWinError(vek::err::kWinInvalidParameter);
        return false;
    }
    if (hdr.code == kEchoCommand) return writeMessage(*outputTransport, kCaptureCode, messagePayload(message), hdr.size);
    return true;
}

void FakeController::stop() {
    ++stops_;
    stateFlags |= kStopRequested;
}

bool FakeController::start(TransportBase* output, TransportBase*) {
    ++starts_;
    if (!startError.empty()) {
        vek::err::setStringError(startError);
        return false;
    }
    outputTransport = output;
    stateFlags = 0;
    if (greet) writeMessage(*output, kStartedCode, "hello", 5);
    if (captureMessages > 0 || failCapture) thread_ = std::thread([this] { capture(); });
    return true;
}

void FakeController::waitAndClose() {
    ++waits_;
    if (thread_.joinable()) thread_.join();
    stateFlags = kClosed;
}

void FakeController::capture() {
    std::vector<uint8_t> payload(100);
    for (size_t i = 0; i < captureMessages && !stopRequested(); ++i) {
        for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<uint8_t>(i + k);
        if (!writeMessage(*outputTransport, kCaptureCode, payload.data(), payload.size())) return;
    }
    if (failCapture) {
        vek::err::setStringError("capture failed");
        recordCaptureFailure();
        writeErrorMessage(*outputTransport);
        if (TransportBase* command = commandTransport.load()) command->close();
    }
}
