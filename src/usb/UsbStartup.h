#pragma once
// Start-up of the USB layer, called once by the entry point on the main thread
// before the command line is read, whatever mode then runs.

namespace vek::io {

// Registers the USB error texts, initialises libusb's default context and starts
// the process-wide event thread on it. At process exit the event thread is
// stopped and joined before libusb_exit runs. When libusb cannot start, the
// layer stays off (no event thread, no libusb call without a context) and false
// is returned; modes without USB run as usual, and a USB mode then fails with
// the reason (usbLayerAvailable).
bool startUsbLayer();

// True unless start-up left the USB layer off; then false with the start-up
// failure (named "libusb could not be initialised") as the last error. Code
// that is about to reach a device asks first. In tests, which set up libusb
// themselves, it is always true.
bool usbLayerAvailable();

}  // namespace vek::io
