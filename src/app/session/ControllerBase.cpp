#include "app/session/ControllerBase.h"

#include "app/session/CommandLoop.h"

bool ControllerBase::run(TransportBase* output, TransportBase* command) {
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
    return ok;
}
