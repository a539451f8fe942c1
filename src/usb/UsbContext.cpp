#include "usb/UsbContext.h"

#include "foundation/Error.h"
#include "foundation/Thread.h"
#include "usb/Libusb.h"
#include "usb/UsbError.h"

namespace vek::io {

bool UsbContext::init() {
    exit();
    int r = libusb_init(nullptr);
    if (r != 0) return setUsbError(r);
    context_ = nullptr;
    held_ = true;
    return true;
}

void UsbContext::exit() {
    if (!held_) return;
    libusb_exit(context_);
    held_ = false;
}

bool UsbContext::handleEvents(libusb_context* context, uint32_t timeoutMs) {
    int r;
    if (timeoutMs == kInfinite) {
        r = libusb_handle_events(context);
    } else {
        // Whole seconds apart: libusb refuses a tv_usec of a second or more.
        timeval tv{};
        tv.tv_sec = static_cast<decltype(tv.tv_sec)>(timeoutMs / 1000);
        tv.tv_usec = static_cast<decltype(tv.tv_usec)>(timeoutMs % 1000 * 1000);
        r = libusb_handle_events_timeout(context, &tv);
    }
    return r == 0 || setUsbError(r);
}

bool UsbEventThread::start(libusb_context* context) {
    stop();
    stopFlag_ = false;
    context_ = context;
    return sys::startThread(thread_, &UsbEventThread::run, this, context);
}

void UsbEventThread::stop() {
    stopFlag_ = true;
    // Ends the pass in progress at once rather than within its 500 ms, so the
    // program exits promptly in every mode.
    if (thread_.joinable()) {
        libusb_interrupt_event_handler(context_);
        thread_.join();
    }
}

void UsbEventThread::run(libusb_context* context) {
    // A failed pass changes nothing; the next one simply runs.
    while (!stopFlag_.load()) UsbContext::handleEvents(context, kPassMs);
}

UsbContext& usbContext() {
    static UsbContext context;
    return context;
}

UsbEventThread& usbEventThread() {
    usbContext();  // constructed first, so destroyed after the thread
    static UsbEventThread thread;
    return thread;
}

}  // namespace vek::io
