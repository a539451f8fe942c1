#include "app/Program.h"

#include <cstdio>
#include <cstdlib>

#include "app/CmdLineParser.h"
#include "app/Help.h"
#include "app/Session.h"
#include "ezusb/EzUsbUpload.h"
#include "serial/SerialPortEnum.h"
#include "usb/UsbDevice.h"
#include "usb/UsbStartup.h"
#include "foundation/Error.h"
#include "foundation/Time.h"

namespace {

// The console names what failed in front of the system's text; the command
// line's own messages have no such context.
void printLastError(const char* format) { std::fprintf(stderr, format, vek::err::getLastErrorMessage().c_str()); }

// The modes below print their own output; false means the last error says why.

// Serial port listing: one line per port. A listing that fails or finds nothing
// prints nothing and still succeeds.
bool listSerialPorts() {
    for (const SerialPortInfo& port : enumerateSerialPorts()) {
        if (port.description.empty())
            std::printf("%s\n", port.name.c_str());
        else
            std::printf("%s (%s)\n", port.name.c_str(), port.description.c_str());
    }
    return true;
}

// EZ-USB EEPROM upload into the first device usbVid:usbPid.
bool runEzUsbUpload(const Settings& settings) {
    auto vid = static_cast<uint16_t>(settings.usbVid), pid = static_cast<uint16_t>(settings.usbPid);
    vek::io::UsbDevice device;
    if (!device.openByVidPid(vid, pid)) return vek::err::addErrorContextF("USB device %04x:%04x", vid, pid);
    bool ok = uploadEzUsbConfig(device, settings.ezusbFileName);
    device.close();
    return ok;
}

int runMode(const Settings& settings) {
    if (settings.has(kFlagHelp)) {
        printHelp();
        return 0;
    }
    if (settings.has(kFlagVersion)) {
        printVersion();
        return 0;
    }
    bool ok;
    if (settings.has(kFlagSerialEnum))
        ok = listSerialPorts();
    else if (!settings.ezusbFileName.empty())
        ok = runEzUsbUpload(settings);  // capture settings do not apply
    else if (settings.hardwareKind != kHardwareNone && settings.transportKind != kTransportNone)
        ok = runSession(settings);
    else {
        printHelp();  // nothing to capture from
        return 0;
    }
    if (ok) return 0;
    printLastError("error: %s\n");
    return -1;
}

}  // namespace

int runProgram(const std::vector<std::string>& args) {
    // A different rand() sequence on every run, for whoever draws from it.
    std::srand(static_cast<unsigned>(vek::sys::systemTime() & 0xFFFFFFFFu));

    // The USB layer exists before the command line is read, whatever the mode:
    // its error texts, libusb's context and the event thread serving it (where
    // libusb is loaded at run time, from the first use of a device on). When
    // libusb cannot start, the layer stays off and only a mode that needs a
    // device fails, with that reason; at exit the event thread stops before
    // libusb is shut down.
    vek::io::startUsbLayerIfLinked();

    Settings settings;
    if (!parseCommandLine(args, settings)) {
        printLastError("error parsing command line: %s\n");
        return -1;
    }
    return runMode(settings);
}
