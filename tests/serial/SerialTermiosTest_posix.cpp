// Line settings as terminal attributes.

#include "foundation/SerialTermios_posix.h"

#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "foundation/Error.h"
#include "serial/SerialController.h"

namespace {

using vek::io::SerialLineChange;
using vek::io::SerialSettings;
using vek::io::translateSerialSettings;

// Attributes as a freshly opened terminal has them: cooked, echoing, 9600 8N1.
termios2 cooked() {
    termios2 t{};
    t.c_iflag = ICRNL | IXON | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = B9600 | CS8 | CREAD | HUPCL;
    return t;
}

TEST(SerialTermios, FrameFormatFields) {
    constexpr tcflag_t kFrame = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;
    struct Case {
        uint32_t dataBits, stopBits, parity;
        tcflag_t expected;
    };
    const Case cases[] = {
        {8, 0, 0, CS8},
        {7, 0, 1, CS7 | PARENB | PARODD},
        {6, 2, 2, CS6 | CSTOPB | PARENB},
        {8, 2, 3, CS8 | CSTOPB | PARENB | PARODD | CMSPAR},  // mark
        {8, 0, 4, CS8 | PARENB | CMSPAR},                    // space
        {5, 1, 0, CS5 | CSTOPB},                             // 1.5 stop bits
    };
    for (const Case& c : cases) {
        termios2 t = cooked();
        t.c_cflag |= PARENB | PARODD | CMSPAR | CSTOPB;  // leftovers that must go
        SerialSettings s;
        s.dataBits = c.dataBits, s.stopBits = c.stopBits, s.parity = c.parity;
        SerialLineChange lines;
        ASSERT_TRUE(translateSerialSettings(t, lines, s, vek::io::kApplyLineSettings)) << c.dataBits << c.stopBits;
        EXPECT_EQ(t.c_cflag & kFrame, c.expected) << c.dataBits << "/" << c.stopBits << "/" << c.parity;
    }
}

TEST(SerialTermios, ValuesTheLineCannotTakeAreRefused) {
    struct Case {
        const char* what;
        uint32_t baud, dataBits, stopBits, parity;
    };
    const Case cases[] = {
        {"baud 0 would hang up", 0, 8, 0, 0},
        {"4 data bits", 9600, 4, 0, 0},
        {"9 data bits", 9600, 9, 0, 0},
        {"1.5 stop bits on 8 data bits", 9600, 8, 1, 0},
        {"2 stop bits on 5 data bits", 9600, 5, 2, 0},
        {"stop bits code 3", 9600, 8, 3, 0},
        {"parity code 5", 9600, 8, 0, 5},
    };
    for (const Case& c : cases) {
        termios2 t = cooked();
        SerialSettings s;
        s.baudRate = c.baud, s.dataBits = c.dataBits, s.stopBits = c.stopBits, s.parity = c.parity;
        SerialLineChange lines;
        vek::err::setError(vek::err::ErrorRef());
        EXPECT_FALSE(translateSerialSettings(t, lines, s, vek::io::kApplyLineSettings)) << c.what;
        EXPECT_EQ(vek::err::getLastError().guid(), vek::err::kErrnoDomain) << c.what;
        EXPECT_EQ(vek::err::getLastError().code(), static_cast<uint32_t>(EINVAL)) << c.what;
    }
}

TEST(SerialTermios, FlowControlAndModemLines) {
    struct Case {
        uint32_t flow;
        uint8_t dtr, rts;
        tcflag_t cflag, iflag;
        int raise, drop;
    };
    const Case cases[] = {
        {0, 1, 1, 0, 0, TIOCM_DTR | TIOCM_RTS, 0},
        {0, 0, 1, 0, 0, TIOCM_RTS, TIOCM_DTR},
        {0, 1, 0, 0, 0, TIOCM_DTR, TIOCM_RTS},
        {1, 1, 0, CRTSCTS, 0, TIOCM_DTR, 0},  // RTS belongs to the handshake
        {1, 0, 1, CRTSCTS, 0, 0, TIOCM_DTR},
        {2, 1, 1, 0, IXON | IXOFF, TIOCM_DTR | TIOCM_RTS, 0},
        {7, 1, 1, 0, 0, TIOCM_DTR | TIOCM_RTS, 0},  // unknown: no flow control
    };
    for (const Case& c : cases) {
        termios2 t = cooked();
        t.c_cflag |= CRTSCTS;
        t.c_iflag |= IXANY;
        SerialSettings s;
        s.flowControl = c.flow, s.dtr = c.dtr, s.rts = c.rts;
        SerialLineChange lines;
        ASSERT_TRUE(translateSerialSettings(t, lines, s, vek::io::kApplyLineSettings));
        EXPECT_EQ(t.c_cflag & CRTSCTS, c.cflag) << c.flow;
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), c.iflag) << c.flow;
        EXPECT_EQ(lines.raise, c.raise) << c.flow << "/" << int(c.dtr) << int(c.rts);
        EXPECT_EQ(lines.drop, c.drop) << c.flow << "/" << int(c.dtr) << int(c.rts);
    }
}

TEST(SerialTermios, AnyBaudRateAndRawMode) {
    termios2 t = cooked();
    SerialSettings s;
    s.baudRate = 250000;  // no Bnnn constant
    SerialLineChange lines;
    ASSERT_TRUE(translateSerialSettings(t, lines, s, vek::io::kApplyBaudRate));
    EXPECT_EQ(t.c_cflag & (CBAUD | CIBAUD), static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(t.c_ispeed, 250000u);
    EXPECT_EQ(t.c_ospeed, 250000u);
    // Raw whatever the mask: no echo, no line editing, no character mapping.
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cc[VMIN], 1);
    // Fields outside the mask stay as they were.
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(lines.raise | lines.drop, 0);
}

TEST(SerialTermios, LineSettingsCommandRaisesDtrAgain) {
    Settings settings;
    settings.serialLineMask = kLineDtr;
    settings.serialLines = 0;  // opened with DTR off
    termios2 t = cooked();
    SerialLineChange lines;
    ASSERT_TRUE(translateSerialSettings(t, lines, startSettings(settings), vek::io::kApplyLineSettings));
    EXPECT_EQ(lines.drop, TIOCM_DTR);

    const uint8_t payload[] = {0x00, 0x4B, 0x00, 0x00, 8, 0, 0, 1};  // 19200 8N1, RTS/CTS
    SerialSettings command;
    ASSERT_TRUE(commandSettings(payload, sizeof payload, &command));
    ASSERT_TRUE(translateSerialSettings(t, lines, command, vek::io::kApplyLineSettings));
    EXPECT_EQ(lines.raise, TIOCM_DTR);
    EXPECT_EQ(lines.drop, 0);
    EXPECT_EQ(t.c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
    EXPECT_EQ(t.c_ospeed, 19200u);
}

TEST(SerialDevicePath, BareNamesLiveInDev) {
    EXPECT_EQ(vek::io::serialDevicePath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(vek::io::serialDevicePath("/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(vek::io::serialDevicePath("serial/by-id/usb-FTDI"), "/dev/serial/by-id/usb-FTDI");
}

}  // namespace
