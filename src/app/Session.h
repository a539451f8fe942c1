#pragma once
// One capture: the controller for hardwareKind, the transports for transportKind,
// run until the command input ends (or, for the servers, for ever).

#include <functional>

#include "session/Settings.h"
#include "session/ControllerBase.h"
#include "transport/Server.h"

// False with the last error set when the session could not run or failed.
bool runSession(const Settings& settings);

// The transport half of runSession, for a controller built elsewhere: opens the
// transports for settings.transportKind, runs `controller` on them, closes them
// (the command input first, then the output). A transport that does not open
// leaves its error and `run` is not called. For the servers, `onListening` (when
// given) sees the server once it listens, so an in-process caller may learn
// its port and stop it from another thread; the server kinds return only then.
bool runSessionWith(const Settings& settings, ControllerBase& controller,
                    const std::function<void(StreamServer&)>& onListening = {});
