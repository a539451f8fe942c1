#pragma once
// What to tell a user whose device cannot be opened for lack of permission.

namespace vek::io {

// The platform's remedy: on Linux the udev rules that ship with the program.
const char* usbAccessHint();

}  // namespace vek::io
