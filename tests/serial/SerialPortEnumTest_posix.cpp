// Port enumeration over a sysfs tree built for the test.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "serial/SerialPortEnum_posix.h"

namespace fs = std::filesystem;

namespace {

class FakeSysfs : public testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("qw-sysfs-" + std::to_string(std::random_device{}()));
        fs::create_directories(root / "class" / "tty");
    }
    void TearDown() override { fs::remove_all(root); }

    void file(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text << "\n";
    }
    // Binds the device directory `device` to the driver of that name on `bus`.
    void bind(const std::string& device, const std::string& driver, const std::string& bus = "platform") {
        fs::path dev = root / device, drv = root / "bus" / bus / "drivers" / driver;
        fs::create_directories(dev);
        fs::create_directories(drv);
        if (!fs::is_symlink(dev / "driver")) fs::create_directory_symlink(fs::relative(drv, dev), dev / "driver");
    }
    // A tty whose device is `device` (relative to root), optionally with a driver.
    fs::path tty(const std::string& name, const std::string& device, const std::string& driver = "") {
        fs::path dev = root / device;
        fs::create_directories(dev);
        fs::path node = root / "class" / "tty" / name;
        fs::create_directories(node);
        fs::create_directory_symlink(fs::relative(dev, node), node / "device");
        if (!driver.empty()) bind(device, driver);
        return node;
    }

    fs::path root;
};

TEST_F(FakeSysfs, ListsRealPortsWithDescriptionsInNaturalOrder) {
    // A USB adapter: tty under the usb-serial port, under the interface, under the device.
    std::string usb = "devices/pci0/usb1/1-2";
    file(root / "devices/pci0/usb1/idVendor", "1d6b");
    file(root / "devices/pci0/usb1/product", "xHCI Host Controller");
    file(root / usb / "idVendor", "0403");
    file(root / usb / "product", "FT232R USB UART");
    tty("ttyUSB0", usb + "/1-2:1.0/ttyUSB0", "ftdi_sio");
    // A USB device without a product string must not borrow its hub's.
    file(root / "devices/pci0/usb1/1-3/idVendor", "2341");
    tty("ttyACM0", "devices/pci0/usb1/1-3/1-3:1.0", "cdc_acm");
    // Legacy UART slots: one with a UART behind it, two without.
    file(tty("ttyS0", "devices/pnp0/00:05", "serial") / "type", "4");
    file(tty("ttyS1", "devices/platform/serial8250", "serial8250") / "type", "0");
    file(tty("ttyS10", "devices/platform/serial8250", "serial8250") / "type", "0");
    file(tty("ttyS2", "devices/pci0/0000:03:00.0", "serial") / "type", "4");
    file(tty("ttyS11", "devices/pci0/0000:03:00.1", "serial") / "type", "4");
    // Newer kernels put serial-core port devices between the tty and the hardware.
    bind("devices/pnp0/00:06", "serial", "pnp");
    bind("devices/pnp0/00:06/00:06:0", "ctrl", "serial-base");
    bind("devices/pnp0/00:06/00:06:0/00:06:0.0", "port", "serial-base");
    file(tty("ttyS3", "devices/pnp0/00:06/00:06:0/00:06:0.0") / "type", "4");
    // Neither product nor driver.
    tty("ttyX9", "devices/virtual/x9");
    // Virtual consoles and ptys have no device.
    fs::create_directories(root / "class/tty/tty1");
    fs::create_directories(root / "class/tty/ptmx");

    std::vector<SerialPortInfo> ports = enumerateSerialPorts(root.string());
    std::vector<std::pair<std::string, std::string>> got;
    for (auto& p : ports) got.emplace_back(p.name, p.description);
    std::vector<std::pair<std::string, std::string>> expected = {
        {"ttyACM0", "cdc_acm"}, {"ttyS0", "serial"},  {"ttyS2", "serial"}, {"ttyS3", "serial"},
        {"ttyS11", "serial"},   {"ttyUSB0", "FT232R USB UART"}, {"ttyX9", ""},
    };
    EXPECT_EQ(got, expected);
}

TEST_F(FakeSysfs, NoPortsAndNoTree) {
    fs::create_directories(root / "class/tty/tty0");
    EXPECT_TRUE(enumerateSerialPorts(root.string()).empty());
    EXPECT_TRUE(enumerateSerialPorts((root / "missing").string()).empty());
}

}  // namespace
