#include "usb/UsbAccess.h"

namespace vek::io {

const char* usbAccessHint() { return "check that the device uses the WinUSB driver and no other program holds it"; }

}  // namespace vek::io
