#pragma once
// How many devices of one model are attached, for tools that list them.

#include <cstdint>

namespace vek::io {

// Devices with this VID and PID in libusb's list (an unreadable descriptor is
// not counted). -1 with the last error set when there is no list.
int64_t countUsbDevices(uint16_t vid, uint16_t pid);

}  // namespace vek::io
