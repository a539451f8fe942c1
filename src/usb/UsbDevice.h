#pragma once
// One libusb device reference and its open handle, and one asynchronous transfer.
//
// Owned by value by whoever uses the device; not thread-safe: the owner calls them
// from one thread at a time (libusb locks its own calls). Every failure stores the
// last error and returns false (or -1): libusb codes in the USB domain, Windows
// 2 for "no such VID/PID" and 1450 for a failed transfer allocation.

#include <cstdint>

struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

namespace vek::io {

// bmRequestType of a vendor request to the device and from it, and the timeout
// every request of this program uses: none (libusb waits without limit).
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
constexpr uint32_t kNoTimeout = 0;

class UsbDevice {
public:
    UsbDevice() = default;
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;
    ~UsbDevice() { setDevice(nullptr); }

    // Holds `device` (one reference), closing the handle of another one first.
    // The device already held keeps its handle. Null releases.
    void setDevice(libusb_device* device);
    // Opens the held device, closing an open handle first.
    bool open();
    // Opens the first device with this VID and PID on the default context and
    // holds it instead of the one held before.
    bool openByVidPid(uint16_t vid, uint16_t pid);
    // Closes the handle; the device reference stays.
    void close();
    bool claimInterface(uint32_t n);
    // Bytes transferred, or -1. A timeout of 0xFFFFFFFF (like 0) waits without limit.
    int64_t controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, void* data,
                            uint16_t length, uint32_t timeoutMs);

    libusb_device* device() const { return device_; }
    libusb_device_handle* handle() const { return handle_; }

private:
    libusb_device* device_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
};

// The caller fills the libusb transfer's fields itself; the completion callback
// runs on the USB event thread.
class UsbTransfer {
public:
    UsbTransfer() = default;
    UsbTransfer(const UsbTransfer&) = delete;
    UsbTransfer& operator=(const UsbTransfer&) = delete;
    ~UsbTransfer() { reset(); }

    // Frees a held transfer, then allocates a new one. The held one must not be
    // in flight.
    bool create(uint32_t isoPacketCount = 0);
    bool submit();
    // The transfer completes later, on the event thread, with the cancelled status
    // (or the status it reached first).
    bool cancel();
    void reset();

    libusb_transfer* get() const { return transfer_; }

private:
    libusb_transfer* transfer_ = nullptr;
};

}  // namespace vek::io
