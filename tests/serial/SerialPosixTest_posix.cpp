// The POSIX side: line settings as terminal attributes, SerialController on a
// pty pair (the test playing the far end on the master), sysfs enumeration.

#include "foundation/SerialTermios_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <thread>

#include "SerialCapture.h"
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

// A pty pair stands in for the line, the test playing the far end on the master.
// Nothing else holds the slave open, so closing the master hangs the line up.
TEST(SerialPty, BothWaysInOrderRestartableAndEndedByAHangUp) {
    char name[128];
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 && ptsname_r(master, name, 128) == 0);
    Settings settings;
    settings.serialPortName = name;
    SerialController controller(&settings);
    Bytes big(1 << 20);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7 + i / 251);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        MemoryTransport output, command;
        std::thread session([&] { EXPECT_EQ(controller.run(&output, &command), round == 0); });
        // A reply to a command that does nothing: the port is open and configured.
        command.pushInput(frame(kCmdSerialSetBreak));
        EXPECT_TRUE(command.waitForOutput(4));
        // Round 0 sends 1 MiB; round 1, which also shows that the controller starts
        // again after waitAndClose, far fewer bytes than the read buffer holds: they
        // must not wait for it to fill.
        Bytes sent = round == 0 ? big : Bytes{'o', 'k'};
        for (ssize_t done = 0, n = 1; done < ssize_t(sent.size()) && n > 0; done += n)
            EXPECT_GT(n = write(master, sent.data() + done, sent.size() - size_t(done)), 0);
        EXPECT_TRUE(receivedData(output, sent.size()) == sent);
        Bytes expected;
        for (int i = 0; i < 10; ++i) {
            Bytes chunk(1 + i * 97, uint8_t('a' + i + round));
            expected.insert(expected.end(), chunk.begin(), chunk.end());
            command.pushInput(frame(kCmdSerialTransmit, chunk));
        }
        Bytes got(expected.size());
        pollfd p{master, POLLIN, 0};
        for (ssize_t done = 0, n = 1; done < ssize_t(got.size()) && n > 0 && poll(&p, 1, 5000) == 1; done += n)
            n = read(master, got.data() + done, got.size() - size_t(done));
        EXPECT_EQ(got, expected);
        // Round 0 ends with the command input; round 1 with a hang-up, on which the
        // I/O thread closes the command transport, which ends the command loop.
        if (round == 0) command.endInput();
        if (round == 1) close(master);
        session.join();
        if (round == 0) continue;
        EXPECT_TRUE(command.closed());
        expectEndedByOneError(output, EIO);
    }
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
