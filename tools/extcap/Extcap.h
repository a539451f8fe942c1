#pragma once
// quenwick-extcap: the Ethernet Plim as a Wireshark capture interface ("extcap").
// Wireshark calls it in steps:
//
//   --extcap-interfaces                         one interface per attached device
//   --extcap-dlts --extcap-interface NAME       the link type: Ethernet
//   --extcap-config --extcap-interface NAME     the device index, a firmware file
//   --capture --extcap-interface NAME --fifo PATH [--index N] [--firmware FILE]
//                                               pcap into the fifo until Wireshark
//                                               closes it or asks it to stop
//
// Exit status 0, or 1 with "error: ..." on standard error.

#include <cstdio>
#include <string>
#include <vector>

int runExtcap(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
