#include "usb/UsbAccess.h"

namespace vek::io {

const char* usbAccessHint() {
    return "install the udev rules 70-quenwick-hwc.rules (see \"Linux device access\" in the README) or run as root";
}

}  // namespace vek::io
