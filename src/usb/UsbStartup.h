#pragma once
// Start-up of the USB layer, called once by the entry point on the main thread
// before the command line is read, whatever mode then runs.

namespace vek::io {

// Registers the USB error texts, initialises libusb's default context and starts
// the process-wide event thread on it. Results are not reported: without libusb a
// device simply cannot be found or opened later. At process exit the event thread
// is stopped (within one 500 ms pass) and joined before libusb_exit runs.
void startUsbLayer();

}  // namespace vek::io
