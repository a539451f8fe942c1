#include "app/Program.h"

#include <cstdio>
#include <cstdlib>

#include "app/CmdLineParser.h"
#include "app/Help.h"
#include "app/Session.h"
#include "foundation/Error.h"
#include "foundation/Time.h"

namespace {

void printLastError(const char* format) { std::fprintf(stderr, format, vek::err::getLastErrorDescription().c_str()); }

// The modes below print their own output; false means the last error says why.

// Serial port listing: one line per port. Connected when port enumeration lands.
bool listSerialPorts() {
    vek::err::setStringError("serial port enumeration is not available in this build");
    return false;
}

// EZ-USB EEPROM upload into the device usbVid:usbPid. Connected when the USB
// layer and the EZ-USB uploader land.
bool uploadEzusbConfig(const Settings&) {
    vek::err::setStringError("EZ-USB configuration upload is not available in this build");
    return false;
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
        ok = uploadEzusbConfig(settings);  // capture settings do not apply
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

    // ---- USB start-up, before the command line is read, whatever the mode ----
    // 1. register the USB error provider with the error manager (USB domain GUID);
    // 2. initialise the process-wide libusb context;
    // 3. start the process-wide USB event thread.
    // Their results are not checked here: a mode that needs USB reports its own
    // failure. Both singletons are finalised at exit, the thread before libusb.
    // ---------------------------------------------------------------------------

    Settings settings;
    if (!parseCommandLine(args, settings)) {
        printLastError("error parsing command line: %s\n");
        return -1;
    }
    return runMode(settings);
}
