// A small program linked like quenwick-hwc (the system libusb on Linux, the
// simulator's DLL on Windows), so the end-to-end tests can run the USB layer in a
// process of its own against the simulator's shared library.
//
//   usb_probe VID PID   opens the device (hex ids), sends it one vendor request and
//                       prints "opened"; or prints "error: <text>" and exits with 255
#include <cstdio>
#include <cstdlib>

#include "foundation/Error.h"
#include "foundation/Process.h"
#include "usb/UsbDevice.h"
#include "usb/UsbStartup.h"

int main(int argc, char** argv) {
    vek::sys::prepareProcess();  // binary standard output, as the program has it
    vek::io::startUsbLayer();
    if (argc != 3) return std::fputs("usage: usb_probe VID PID\n", stderr), 2;
    vek::io::UsbDevice device;
    auto id = [](const char* hex) { return static_cast<uint16_t>(std::strtoul(hex, nullptr, 16)); };
    uint8_t hello[] = {'h', 'i'};
    if (!device.openByVidPid(id(argv[1]), id(argv[2])) ||
        device.controlTransfer(0x40, 0x01, 0x0002, 0, hello, sizeof hello, 0xFFFFFFFF) < 0) {
        std::fprintf(stderr, "error: %s\n", vek::err::getLastErrorMessage().c_str());
        return -1;
    }
    std::printf("opened\n");
    return 0;
}
