#include "session/ControllerBase.h"

#include "session/CommandLoop.h"

void ControllerBase::recordCaptureFailure() {
    std::lock_guard<std::mutex> hold(lock);
    // The first failure is the cause; later ones are its consequences.
    if (captureFailure_.empty()) captureFailure_.assign(vek::err::getLastError());
}

bool ControllerBase::run(TransportBase* output, TransportBase* command) {
    {
        std::lock_guard<std::mutex> hold(lock);
        captureFailure_.clear();
    }
    commandTransport = command;
    bool ok = start(output, command);
    if (!ok) {
        stop();
        waitAndClose();
        commandTransport = nullptr;
        return false;
    }
    if (command) {
        ok = commandLoop(*command, *this);
        stop();
    }
    waitAndClose();
    commandTransport = nullptr;
    std::lock_guard<std::mutex> hold(lock);
    if (ok && !captureFailure_.empty()) {
        vek::err::setError(captureFailure_.ref());
        ok = false;
    }
    return ok;
}
