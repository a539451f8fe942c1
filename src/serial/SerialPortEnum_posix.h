#pragma once
// The Linux enumeration over a sysfs tree rooted anywhere, so tests can hand it a
// tree of their own. `sysfsRoot` is what /sys is normally.

#include <string>
#include <vector>

#include "serial/SerialPortEnum.h"

std::vector<SerialPortInfo> enumerateSerialPorts(const std::string& sysfsRoot);
