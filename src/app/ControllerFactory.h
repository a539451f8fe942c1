#pragma once
// The one place that turns hardwareKind into a controller.

#include <memory>

#include "session/Settings.h"
#include "session/ControllerBase.h"

// A new controller for settings.hardwareKind, holding a pointer to `settings`
// (which must outlive it). Constructing does not touch the hardware. Null with
// "unknown hardware" as the last error when no controller serves that kind.
std::unique_ptr<ControllerBase> createController(const Settings& settings);
