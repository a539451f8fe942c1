#include "usb/UsbStartup.h"

#include "foundation/ErrorMgr.h"
#include "usb/UsbContext.h"
#include "usb/UsbError.h"

namespace vek::io {

void startUsbLayer() {
    err::getErrorMgr().registerProvider(err::kUsbDomain, &usbErrorProvider());
    // Function-local statics end in reverse order of construction: the thread
    // (built second) is joined before the context (built first) calls libusb_exit.
    usbContext().init();
    usbEventThread().start(usbContext().get());
}

}  // namespace vek::io
