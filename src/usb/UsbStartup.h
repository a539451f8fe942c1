#pragma once
// Start-up of the USB layer, once, on the main thread: by the entry point before
// the command line is read, whatever mode then runs, where libusb is linked; on
// the first use of a device where it is loaded at run time (LibusbBinding.h).

namespace vek::io {

// Registers the USB error texts, loads libusb where it is loaded at run time,
// initialises libusb's default context and starts the process-wide event thread
// on it. At process exit the event thread is
// stopped and joined before libusb_exit runs. When libusb cannot start, the
// layer stays off (no event thread, no libusb call without a context) and false
// is returned; modes without USB run as usual, and a USB mode then fails with
// the reason (usbLayerAvailable).
bool startUsbLayer();
// At process start: starts the layer unless libusb waits to be loaded until a
// USB mode needs it.
void startUsbLayerIfLinked();

// True unless start-up left the USB layer off; then false with the start-up
// failure (named "libusb could not be initialised", or the DLL that could not
// be loaded) as the last error. Starts the layer first where that waits for a
// USB mode. Code that is about to reach a device asks first, on the main
// thread. In tests, which set up libusb themselves, it is always true.
bool usbLayerAvailable();

}  // namespace vek::io
