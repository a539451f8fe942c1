#pragma once
// The capture interfaces quenwick-extcap offers Wireshark: one per attached
// Plim device (two for an I2C/SPI Plim, one per mode), each with the link
// type it writes and the options of its dialog.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "DeviceFamily.h"

struct ExtcapInterface {
    const char* prefix;  // the interface's name is prefix + device index: "qwi2c0"
    const char* title;   // "Quenwick I2C/SPI Plim"
    const char* mode;    // " (I2C)" after the number, or ""
    uint16_t vid, pid;
    const char* deviceSwitch;  // quenwick-hwc's switch for the device
    DeviceFamily family;
    bool fpga;  // takes an FPGA firmware file
};

std::span<const ExtcapInterface> extcapInterfaces();
// The interface named "qwi2c3" and its number 3; nullptr for a name not ours.
const ExtcapInterface* findInterface(const std::string& name, long* index);

// The --extcap-dlts line(s). I2C captures are I2C_LINUX unless asked to keep
// every message (--i2c-messages: USER0).
std::string dltLines(const ExtcapInterface& iface);
// The --extcap-config lines: the device index (`index` by default), the
// device's own options.
std::string configLines(const ExtcapInterface& iface, long index);

// The capture's options as quenwick-hwc's command line (program name first),
// from the dialog's options; the index defaults to the interface's number.
std::vector<std::string> commandLine(const ExtcapInterface& iface, long index,
                                     const std::map<std::string, std::string>& options);
