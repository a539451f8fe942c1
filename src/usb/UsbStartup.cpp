#include "usb/UsbStartup.h"

#include "foundation/Error.h"
#include "foundation/ErrorMgr.h"
#include "usb/LibusbBinding.h"
#include "usb/UsbContext.h"
#include "usb/UsbError.h"

namespace vek::io {

namespace {

// Why the USB layer is off, when it is. Written once at start-up, before any
// other thread exists; only read afterwards.
err::Error& startFailure() {
    static err::Error failure;
    return failure;
}

bool& started() {
    static bool attempted = false;
    return attempted;
}

bool fail(const char* what) {
    if (what) err::addErrorContext(what);
    startFailure() = err::copyLastError();
    return false;
}

}  // namespace

bool startUsbLayer() {
    started() = true;
    err::getErrorMgr().registerProvider(err::kUsbDomain, &usbErrorProvider());
    // The loader's text names the library, where it looked and where to get it.
    if (!loadLibusb()) return fail(nullptr);
    // Function-local statics end in reverse order of construction: the thread
    // (built second) is joined before the context (built first) calls libusb_exit.
    UsbContext& context = usbContext();
    UsbEventThread& events = usbEventThread();
    // Without a context nothing may call into libusb at all: no event thread,
    // no exit, no device search. Every other mode goes on as usual.
    if (!context.init()) return fail("libusb could not be initialised");
    if (events.start(context.get())) return true;
    // Without the event thread no transfer would ever complete.
    fail("the USB event thread could not be started");
    context.exit();
    return false;
}

void startUsbLayerIfLinked() {
    if (!libusbLoadsAtRunTime()) startUsbLayer();
}

bool usbLayerAvailable() {
    if (libusbLoadsAtRunTime() && !started()) startUsbLayer();
    if (startFailure().empty()) return true;
    err::restoreLastError(startFailure());
    return false;
}

}  // namespace vek::io
