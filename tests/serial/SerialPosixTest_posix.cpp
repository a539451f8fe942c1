// The POSIX side: line settings as terminal attributes, sysfs enumeration.
// SerialController on a pty pair runs end to end (tests/e2e/test_serial_capture.py).

#include "foundation/SerialTermios_posix.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <fstream>
#include <tuple>

#include "foundation/Error.h"
#include "serial/SerialPortEnum_posix.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

TEST(SerialTermios, LineSettings) {
    constexpr tcflag_t kFrame = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS, kRefused = ~tcflag_t{0};
    struct Case {
        uint32_t baud, dataBits, stopBits, parity;
        tcflag_t cflag;
        uint32_t flow = 0, dtr = 1, rts = 1;
        tcflag_t iflag = 0;
        int raise = 0, drop = 0;
    };
    const Case cases[] = {
        {250000, 8, 0, 0, CS8, 0, 1, 1, 0, TIOCM_DTR | TIOCM_RTS, 0},  // no Bnnn constant for this rate
        {9600, 7, 0, 1, CS7 | PARENB | PARODD, 0, 0, 1, 0, TIOCM_RTS, TIOCM_DTR},
        {9600, 6, 2, 2, CS6 | CSTOPB | PARENB, 0, 1, 0, 0, TIOCM_DTR, TIOCM_RTS},
        // Mark parity; RTS belongs to the handshake.
        {9600, 8, 2, 3, CS8 | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS, 1, 1, 0, 0, TIOCM_DTR, 0},
        {9600, 8, 0, 4, CS8 | PARENB | CMSPAR, 2, 0, 1, IXON | IXOFF, TIOCM_RTS, TIOCM_DTR},  // space
        {9600, 5, 1, 0, CS5 | CSTOPB, 7, 1, 1, 0, TIOCM_DTR | TIOCM_RTS, 0},  // 1.5 stop bits; unknown flow: none
        // Baud 0 would hang the line up; 1.5 stop bits only with 5 data bits, 2 only with more.
        {0, 8, 0, 0, kRefused},    {9600, 4, 0, 0, kRefused}, {9600, 9, 0, 0, kRefused}, {9600, 8, 1, 0, kRefused},
        {9600, 5, 2, 0, kRefused}, {9600, 8, 3, 0, kRefused}, {9600, 8, 0, 5, kRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud << " " << c.dataBits << c.stopBits << c.parity << " " << c.flow);
        // A terminal as opened: cooked (line editing, echo) at 9600 baud, and frame and
        // flow bits that must go.
        termios2 t{};
        t.c_iflag = IXON | IXANY, t.c_lflag = ICANON | ECHO;
        t.c_cflag = B9600 | CS8 | CREAD | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
        vek::io::SerialSettings s;
        s.baudRate = c.baud, s.dataBits = c.dataBits, s.stopBits = c.stopBits, s.parity = c.parity;
        s.flowControl = c.flow, s.dtr = uint8_t(c.dtr), s.rts = uint8_t(c.rts);
        vek::io::SerialLineChange lines;
        vek::err::setError(vek::err::ErrorRef());
        ASSERT_EQ(vek::io::translateSerialSettings(t, lines, s, vek::io::kApplyLineSettings), c.cflag != kRefused);
        EXPECT_EQ(vek::err::getLastError().code(), c.cflag == kRefused ? uint32_t(EINVAL) : 0u);
        if (c.cflag == kRefused) continue;
        EXPECT_EQ(t.c_cflag & kFrame, c.cflag);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), c.iflag);
        // Raw whatever else: no line editing, no echo.
        EXPECT_EQ(std::make_tuple(lines.raise, lines.drop, t.c_lflag), std::make_tuple(c.raise, c.drop, 0u));
        EXPECT_EQ(t.c_ispeed + t.c_ospeed, 2 * c.baud);
    }
    EXPECT_EQ(vek::io::serialDevicePath("ttyUSB0"), "/dev/ttyUSB0");
}

TEST(SerialPortEnum, FakeSysfsTree) {
    TempDir dir;
    const fs::path& root = dir.root();
    const std::string tty = "class/tty/", usb = "devices/pci0/usb1/", pnp = "devices/pnp0/00:06/";
    const std::pair<std::string, std::string> links[] = {
        // A USB adapter: the tty under the usb-serial port, the interface, the device.
        {tty + "ttyUSB0/device", usb + "1-2/1-2:1.0/ttyUSB0"},
        // A USB device without a product string must not borrow its hub's.
        {tty + "ttyACM0/device", usb + "1-3/1-3:1.0"},
        {usb + "1-3/1-3:1.0/driver", "bus/usb/drivers/cdc_acm"},
        // Legacy UART slots, with a UART behind them (type 4) or none (type 0).
        {tty + "ttyS0/device", "devices/pnp0/00:05"},
        {tty + "ttyS11/device", "devices/pnp0/00:05"},
        {"devices/pnp0/00:05/driver", "bus/pnp/drivers/serial"},
        {tty + "ttyS1/device", "devices/platform/serial8250"},
        // Newer kernels put serial-core port devices between the tty and the hardware.
        {tty + "ttyS2/device", pnp + "00:06:0/00:06:0.0"},
        {pnp + "driver", "bus/pnp/drivers/serial"},
        {pnp + "00:06:0/driver", "bus/serial-base/drivers/ctrl"},
        {pnp + "00:06:0/00:06:0.0/driver", "bus/serial-base/drivers/port"},
        {tty + "ttyX9/device", "devices/virtual/x9"},  // neither product nor driver
    };
    for (auto& [from, to] : links) {  // relative, as sysfs has them
        fs::create_directories(root / to);
        fs::create_directories((root / from).parent_path());
        fs::create_directory_symlink(fs::relative(root / to, (root / from).parent_path()), root / from);
    }
    const std::pair<std::string, const char*> files[] = {
        {usb + "idVendor", "1d6b"},          {usb + "product", "xHCI Host Controller"},
        {usb + "1-2/idVendor", "0403"},      {usb + "1-2/product", "FT232R USB UART\n"},
        {usb + "1-3/idVendor", "2341"},      {tty + "ttyS0/type", "4"},
        {tty + "ttyS11/type", "4"},          {tty + "ttyS1/type", "0\n"},
        {tty + "ttyS2/type", "4"},
    };
    for (auto& [path, text] : files) std::ofstream(root / path) << text;
    fs::create_directories(root / "class/tty/tty1");  // virtual consoles and ptys have no device

    std::vector<std::pair<std::string, std::string>> got;
    for (auto& p : enumerateSerialPorts(root.string())) got.emplace_back(p.name, p.description);
    EXPECT_EQ(got, (decltype(got){{"ttyACM0", "cdc_acm"}, {"ttyS0", "serial"}, {"ttyS2", "serial"}, {"ttyS11", "serial"},
                                  {"ttyUSB0", "FT232R USB UART"}, {"ttyX9", ""}}));
    EXPECT_TRUE(enumerateSerialPorts((root / "missing").string()).empty());
}

}  // namespace
