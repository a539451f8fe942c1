#include "session/ControllerBase.h"

#include "session/CommandLoop.h"

#include "foundation/Interrupt.h"

bool ControllerBase::recordCaptureFailure() {
    std::lock_guard<std::mutex> hold(lock);
    // The first failure is the cause; later ones are its consequences.
    if (!captureFailure_.empty()) return false;
    captureFailure_ = vek::err::copyLastError();
    return true;
}

void ControllerBase::recordRunFailure() {
    std::lock_guard<std::mutex> hold(lock);
    if (runFailure_.empty()) runFailure_ = vek::err::copyLastError();
}

bool ControllerBase::run(TransportBase* output, TransportBase* command) {
    {
        std::lock_guard<std::mutex> hold(lock);
        captureFailure_.clear();
        runFailure_.clear();
    }
    commandTransport = command;
    bool ok = start(output, command);
    startFailed_ = !ok;
    // An interrupt may have found the controller idle and its stop been undone by start.
    if (ok && vek::sys::interrupted()) stop();
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
    if (ok && (!captureFailure_.empty() || !runFailure_.empty())) {
        vek::err::restoreLastError(!captureFailure_.empty() ? captureFailure_ : runFailure_);
        ok = false;
    }
    return ok;
}
