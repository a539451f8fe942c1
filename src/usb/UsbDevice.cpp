#include "usb/UsbDevice.h"

#include "foundation/Error.h"
#include "usb/Libusb.h"
#include "usb/UsbError.h"
#include "usb/UsbStartup.h"

namespace vek::io {

void UsbDevice::setDevice(libusb_device* device) {
    if (device == device_) return;
    close();
    if (device) libusb_ref_device(device);
    if (device_) libusb_unref_device(device_);
    device_ = device;
}

bool UsbDevice::open() {
    close();
    if (!device_) return setUsbError(LIBUSB_ERROR_NO_DEVICE);
    int r = libusb_open(device_, &handle_);
    if (r != 0) {
        handle_ = nullptr;
        return setUsbError(r);
    }
    return true;
}

bool UsbDevice::openByVidPid(uint16_t vid, uint16_t pid) {
    close();
    if (!usbLayerAvailable()) return false;
    handle_ = libusb_open_device_with_vid_pid(nullptr, vid, pid);
    if (!handle_) {
        err::setWinError(err::kWinFileNotFound);
        return false;
    }
    // Swap the references so the one held before is not leaked.
    libusb_device* found = libusb_ref_device(libusb_get_device(handle_));
    if (device_) libusb_unref_device(device_);
    device_ = found;
    return true;
}

void UsbDevice::close() {
    if (!handle_) return;
    libusb_close(handle_);
    handle_ = nullptr;
}

bool UsbDevice::claimInterface(uint32_t n) {
    int r = libusb_claim_interface(handle_, static_cast<int>(n));
    return r == 0 || setUsbError(r);
}

int64_t UsbDevice::controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, void* data,
                                   uint16_t length, uint32_t timeoutMs) {
    unsigned timeout = timeoutMs == 0xFFFFFFFF ? 0 : timeoutMs;  // 0 is libusb's "no limit"
    int r = libusb_control_transfer(handle_, requestType, request, value, index, static_cast<unsigned char*>(data),
                                    length, timeout);
    if (r < 0) return setUsbError(r), -1;
    return r;
}

bool UsbTransfer::create(uint32_t isoPacketCount) {
    reset();
    transfer_ = libusb_alloc_transfer(static_cast<int>(isoPacketCount));
    if (!transfer_) {
        err::setWinError(err::kWinNoSystemResources);
        return false;
    }
    return true;
}

bool UsbTransfer::submit() {
    int r = libusb_submit_transfer(transfer_);
    return r == 0 || setUsbError(r);
}

bool UsbTransfer::cancel() {
    int r = libusb_cancel_transfer(transfer_);
    return r == 0 || setUsbError(r);
}

void UsbTransfer::reset() {
    if (!transfer_) return;
    libusb_free_transfer(transfer_);
    transfer_ = nullptr;
}

}  // namespace vek::io
