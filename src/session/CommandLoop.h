#pragma once
// Reads host commands from the command transport, hands each complete message to
// the controller and answers it on the same transport: code 0x00 when carried
// out, code 0x20 with the error record when not. A failure whose answer cannot
// be written (a read-only command input) goes to standard error instead.

#include "foundation/Time.h"
#include "transport/TransportBase.h"

class ControllerBase;

// Input pause after which a partial message is thrown away (100-ns units).
constexpr uint64_t kStaleMessageTicks = 3 * vek::sys::kTicksPerSecond;
constexpr size_t kCommandReadSize = 1024;

// Returns true when the input ends (a read of zero bytes), false when a read
// fails (the transport's error is the last error). `clock` is replaceable for tests.
bool commandLoop(TransportBase& in, ControllerBase& controller, vek::sys::Clock clock = &vek::sys::systemTime);
