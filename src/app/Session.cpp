#include "app/Session.h"

#include "foundation/Error.h"

// Placeholder until the transports and controllers are connected.
bool runSession(const Settings&) {
    vek::err::setStringError("capture is not available in this build yet");
    return false;
}
