// Serial ports from sysfs: every /sys/class/tty/NAME that has a device behind it
// (virtual consoles and ptys have none), except legacy UART slots with no UART.
//
// The 8250 driver registers its ttyS slots whether or not a UART answers there; the
// serial core shows such a slot with a `type` attribute of 0 (no UART found). Any
// tty whose `type` reads 0 is left out; ttys without that attribute (USB and other
// non-serial-core drivers) are kept.

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <tuple>

#include "foundation/Error.h"
#include "serial/SerialPortEnum_posix.h"

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, without trailing white space; empty when
// it cannot be read.
std::string readAttribute(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

bool isAbsentUart(const fs::path& tty) {
    std::error_code ec;
    return fs::exists(tty / "type", ec) && readAttribute(tty / "type") == "0";
}

// The driver of the device, looking through the serial core's own port devices
// (bus "serial-base", newer kernels) to the driver of the hardware they belong to.
std::string driverName(fs::path dir) {
    for (int depth = 0; depth < 4 && dir.has_relative_path(); ++depth, dir = dir.parent_path()) {
        std::error_code ec;
        fs::path driver = fs::read_symlink(dir / "driver", ec);
        if (ec) return {};
        if (driver.parent_path().parent_path().filename() != "serial-base") return driver.filename().string();
    }
    return {};
}

// The USB product name of the device the tty hangs off, else its driver's name.
std::string describe(const fs::path& device) {
    std::error_code ec;
    fs::path dir = fs::canonical(device, ec);
    if (ec) return {};
    // A USB serial tty sits at most a few levels below its USB device (port,
    // interface, device). Stop at the first USB device: above it are hubs with
    // product names of their own.
    fs::path up = dir;
    for (int depth = 0; depth < 4 && up.has_relative_path(); ++depth, up = up.parent_path()) {
        if (fs::exists(up / "idVendor", ec)) {
            std::string product = readAttribute(up / "product");
            if (!product.empty()) return product;
            break;
        }
    }
    return driverName(dir);
}

// Natural order: the text before the trailing number, then the number.
bool naturalLess(const SerialPortInfo& a, const SerialPortInfo& b) {
    auto split = [](const std::string& s) {
        size_t digits = s.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1]))) --digits;
        std::string number = s.substr(digits);
        number.erase(0, std::min(number.find_first_not_of('0'), number.size()));
        return std::make_tuple(s.substr(0, digits), number.size(), number, s);
    };
    return split(a.name) < split(b.name);
}

}  // namespace

std::vector<SerialPortInfo> enumerateSerialPorts(const std::string& sysfsRoot) {
    std::vector<SerialPortInfo> ports;
    std::error_code ec;
    fs::directory_iterator it(fs::path(sysfsRoot) / "class" / "tty", ec);
    if (ec) {
        vek::err::setErrnoError(ec.value());
        return ports;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path& tty = it->path();
        fs::path device = tty / "device";
        std::error_code missing;
        if (!fs::exists(device, missing) || isAbsentUart(tty)) continue;
        ports.push_back({tty.filename().string(), describe(device)});
    }
    std::sort(ports.begin(), ports.end(), naturalLess);
    return ports;
}

std::vector<SerialPortInfo> enumerateSerialPorts() { return enumerateSerialPorts("/sys"); }
