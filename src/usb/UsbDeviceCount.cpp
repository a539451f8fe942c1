#include "usb/UsbDeviceCount.h"

#include "usb/Libusb.h"
#include "usb/UsbError.h"
#include "usb/UsbStartup.h"

namespace vek::io {

int64_t countUsbDevices(uint16_t vid, uint16_t pid) {
    if (!usbLayerAvailable()) return -1;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(nullptr, &list);
    if (n < 0) return setUsbError(static_cast<int>(n)), -1;
    int64_t count = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idVendor == vid && desc.idProduct == pid) ++count;
    }
    libusb_free_device_list(list, 1);
    return count;
}

}  // namespace vek::io
