// libusb linked at build time: nothing to load.
#include "usb/LibusbBinding.h"

namespace vek::io {

bool libusbLoadsAtRunTime() { return false; }
bool loadLibusb() { return true; }

}  // namespace vek::io
