#include "fpga/UsbFpgaControllerBase.h"

#include "usb/Libusb.h"
#include "usb/UsbError.h"

namespace fpga {

bool sendDeviceCommand(vek::io::UsbDevice& device, uint8_t command) {
    int sent = 0;
    int r = libusb_bulk_transfer(device.handle(), kCommandEndpoint, &command, 1, &sent, 0);
    return r == 0 || vek::io::setUsbError(r);
}

std::FILE* uploadConsole(const Settings& settings) {
    bool stdoutCarriesMessages = settings.has(kFlagStdout) && !settings.has(kFlagFirmwareUploadOnly);
    return stdoutCarriesMessages ? stderr : stdout;
}

}  // namespace fpga
