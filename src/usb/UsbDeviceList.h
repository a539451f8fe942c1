#pragma once
// The attached devices of one model, as libusb lists them.

#include <cstdint>
#include <vector>

struct libusb_device;

namespace vek::io {

// The devices with this VID and PID in libusb's list, in its order; each is
// referenced until the object goes. A device whose descriptor cannot be read is
// left out, its error set until a later one replaces it.
class UsbDeviceList {
public:
    UsbDeviceList() = default;
    UsbDeviceList(const UsbDeviceList&) = delete;
    UsbDeviceList& operator=(const UsbDeviceList&) = delete;
    ~UsbDeviceList();

    // False with the last error set when there is no list (or no USB layer).
    bool load(uint16_t vid, uint16_t pid);
    const std::vector<libusb_device*>& devices() const { return devices_; }

private:
    libusb_device** list_ = nullptr;
    std::vector<libusb_device*> devices_;
};

}  // namespace vek::io
