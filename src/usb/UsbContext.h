#pragma once
// The process's libusb context and the thread that drives libusb's event handling.
//
// Both live as process-wide singletons from start-up (startUsbLayer) to exit; the
// event thread is destroyed first, so it is joined before libusb_exit runs. Tests
// make their own instances.

#include <atomic>
#include <cstdint>
#include <thread>

struct libusb_context;

namespace vek::io {

class UsbContext {
public:
    UsbContext() = default;
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;
    ~UsbContext() { exit(); }

    // Exits a held context, then initialises libusb's default context. Main thread,
    // with no event thread serving the held context. False with the USB-domain
    // last error; no context is held then.
    bool init();
    // libusb_exit on a held context. Nothing may be inside libusb on it any more.
    void exit();
    bool held() const { return held_; }
    // Null: libusb's default context (the only one this program uses).
    libusb_context* get() const { return context_; }

    // One pass of libusb event handling; completion callbacks run inside it, on the
    // calling thread. 0xFFFFFFFF blocks as libusb_handle_events does. False with
    // the USB-domain last error.
    bool handleEvents(uint32_t timeoutMs) const { return handleEvents(context_, timeoutMs); }
    static bool handleEvents(libusb_context* context, uint32_t timeoutMs);

    static constexpr uint32_t kInfinite = 0xFFFFFFFF;

private:
    libusb_context* context_ = nullptr;
    bool held_ = false;  // "all ones" of the context pointer, spelled out
};

class UsbEventThread {
public:
    // Each pass of event handling lasts at most this long, so a stop is seen within it.
    static constexpr uint32_t kPassMs = 500;

    UsbEventThread() = default;
    UsbEventThread(const UsbEventThread&) = delete;
    UsbEventThread& operator=(const UsbEventThread&) = delete;
    ~UsbEventThread() { stop(); }

    // Stops a running thread first, then starts one serving `context`. Main thread.
    // False when the thread cannot be created (Windows error 1450).
    bool start(libusb_context* context);
    // Sets the stop flag, interrupts the pass in progress and joins. Any thread
    // but this one.
    void stop();
    bool running() const { return thread_.joinable(); }

private:
    void run(libusb_context* context);

    std::thread thread_;
    libusb_context* context_ = nullptr;
    std::atomic<bool> stopFlag_{false};
};

// The process-wide instances. The context is always created before the thread, so
// it is destroyed after it.
UsbContext& usbContext();
UsbEventThread& usbEventThread();

}  // namespace vek::io
