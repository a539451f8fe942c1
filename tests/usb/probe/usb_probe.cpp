// A small program linked like quenwick-hwc (the system libusb on Linux, the
// simulator's DLL on Windows), so the end-to-end tests can run the USB layer in a
// process of its own against the simulator's shared library.
//
//   usb_probe list             one "vid:pid" line per attached device
//   usb_probe open VID PID     opens the device (hex ids) and sends one vendor request
//
// Exit code 0, or 255 after printing "error: <text>" to standard error.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/Error.h"
#include "foundation/Process.h"
#include "usb/Libusb.h"
#include "usb/UsbDevice.h"
#include "usb/UsbError.h"
#include "usb/UsbStartup.h"

namespace {

int fail() {
    std::fprintf(stderr, "error: %s\n", vek::err::getLastErrorDescription().c_str());
    return -1;
}

int list() {
    libusb_device** devices = nullptr;
    ssize_t n = libusb_get_device_list(nullptr, &devices);
    if (n < 0) return vek::io::setUsbError(static_cast<int>(n)), fail();
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(devices[i], &d) == 0) std::printf("%04x:%04x\n", d.idVendor, d.idProduct);
    }
    libusb_free_device_list(devices, 1);
    return 0;
}

int open(const char* vid, const char* pid) {
    vek::io::UsbDevice device;
    if (!device.openByVidPid(static_cast<uint16_t>(std::strtoul(vid, nullptr, 16)),
                             static_cast<uint16_t>(std::strtoul(pid, nullptr, 16))))
        return fail();
    uint8_t hello[] = {'h', 'i'};
    if (device.controlTransfer(0x40, 0x01, 0x0002, 0, hello, sizeof hello, 0xFFFFFFFF) < 0) return fail();
    std::printf("opened\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    vek::sys::prepareProcess();  // binary standard output, as the program has it
    vek::io::startUsbLayer();
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "list" && argc == 2) return list();
    if (command == "open" && argc == 4) return open(argv[2], argv[3]);
    std::fprintf(stderr, "usage: usb_probe list | open VID PID\n");
    return 2;
}
