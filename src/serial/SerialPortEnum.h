#pragma once
// The machine's serial ports, for --ser-enum.

#include <string>
#include <vector>

struct SerialPortInfo {
    std::string name;         // what --serial takes (COM3, ttyUSB0); may be empty
    std::string description;  // e.g. the USB product name; empty when unknown
};

// The ports present now. Windows: the Ports device class in SetupAPI order.
// Linux: the ttys of /sys/class/tty with a device behind them, in natural name
// order (ttyS2 before ttyS10). An empty list may carry a last error (the list
// could not be read) or none (there are no ports).
std::vector<SerialPortInfo> enumerateSerialPorts();
