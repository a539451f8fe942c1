#pragma once
// One capture: the controller for hardwareKind, the transports for transportKind,
// run until the command input ends (or, for the servers, for ever).

#include "app/Settings.h"

// False with the last error set when the session could not run or failed.
bool runSession(const Settings& settings);
