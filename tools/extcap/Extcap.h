#pragma once
// quenwick-extcap: the Plim devices as Wireshark capture interfaces ("extcap"):
// qwserialplimN, qwserialproN, qwi2cN and qwspiN (the two modes of one I2C/SPI
// Plim), qwethernetN. Wireshark calls it in steps:
//
//   --extcap-interfaces                         one interface per attached device
//   --extcap-dlts --extcap-interface NAME       the link type: Ethernet, I2C_LINUX
//                                               or USER0 (quenwick.lua)
//   --extcap-config --extcap-interface NAME     the device index, a firmware file,
//                                               the device's settings
//   --capture --extcap-interface NAME --fifo PATH [options]
//                                               pcap into the fifo until Wireshark
//                                               closes it or asks it to stop
//
// Exit status 0, or 1 with "error: ..." on standard error.

#include <cstdio>
#include <string>
#include <vector>

int runExtcap(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
