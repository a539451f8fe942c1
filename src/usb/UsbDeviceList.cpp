#include "usb/UsbDeviceList.h"

#include "usb/Libusb.h"
#include "usb/UsbError.h"
#include "usb/UsbStartup.h"

namespace vek::io {

UsbDeviceList::~UsbDeviceList() {
    if (list_) libusb_free_device_list(list_, 1);
}

bool UsbDeviceList::load(uint16_t vid, uint16_t pid) {
    if (!usbLayerAvailable()) return false;
    ssize_t n = libusb_get_device_list(nullptr, &list_);
    if (n < 0) {
        list_ = nullptr;
        return setUsbError(static_cast<int>(n));
    }
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc;
        if (int r = libusb_get_device_descriptor(list_[i], &desc); r != 0)
            setUsbError(r);
        else if (desc.idVendor == vid && desc.idProduct == pid)
            devices_.push_back(list_[i]);
    }
    return true;
}

}  // namespace vek::io
