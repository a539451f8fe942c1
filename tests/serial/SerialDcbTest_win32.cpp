// Line settings as a DCB, the device path rule, and SetupAPI enumeration.

#include "foundation/SerialDcb_win32.h"

#include <gtest/gtest.h>

#include "serial/SerialController.h"
#include "serial/SerialPortEnum.h"

namespace {

using vek::io::SerialSettings;
using vek::io::translateSerialSettings;

// A DCB as a port might hold it before we touch it: everything set that we clear.
DCB used() {
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = 9600;
    d.ByteSize = 7;
    d.StopBits = TWOSTOPBITS;
    d.Parity = ODDPARITY;
    d.fParity = 1;
    d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = d.fOutX = d.fInX = 1;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fRtsControl = RTS_CONTROL_TOGGLE;
    return d;
}

TEST(SerialDcb, FrameFormatFields) {
    struct Case {
        uint32_t baud, dataBits, stopBits, parity;
        bool fParity;
    };
    const Case cases[] = {
        {38400, 8, ONESTOPBIT, NOPARITY, false},  {115200, 7, ONESTOPBIT, ODDPARITY, true},
        {300, 8, TWOSTOPBITS, EVENPARITY, true},  {9600, 5, ONE5STOPBITS, MARKPARITY, true},
        {1234567, 6, ONESTOPBIT, SPACEPARITY, true},
    };
    for (const Case& c : cases) {
        DCB d = used();
        SerialSettings s;
        s.baudRate = c.baud, s.dataBits = c.dataBits, s.stopBits = c.stopBits, s.parity = c.parity;
        translateSerialSettings(d, s, vek::io::kApplyLineSettings);
        EXPECT_EQ(d.fBinary, 1u);
        EXPECT_EQ(d.BaudRate, c.baud);
        EXPECT_EQ(d.ByteSize, c.dataBits);
        EXPECT_EQ(d.StopBits, c.stopBits);
        EXPECT_EQ(d.Parity, c.parity);
        EXPECT_EQ(d.fParity != 0, c.fParity) << c.parity;
        EXPECT_EQ(d.fOutxDsrFlow, 1u);  // never ours to change
    }
}

TEST(SerialDcb, FlowControlAndModemLines) {
    struct Case {
        uint32_t flow;
        uint8_t dtr, rts;
        DWORD dtrControl, rtsControl;
        bool cts, xonXoff;
    };
    const Case cases[] = {
        {0, 1, 1, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false},
        {0, 0, 0, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, false, false},
        {1, 1, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, true, false},  // rts level unused
        {1, 0, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, true, false},
        {2, 1, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, false, true},
        {9, 1, 1, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false},
    };
    for (const Case& c : cases) {
        DCB d = used();
        SerialSettings s;
        s.flowControl = c.flow, s.dtr = c.dtr, s.rts = c.rts;
        translateSerialSettings(d, s, vek::io::kApplyFlowControl);
        EXPECT_EQ(d.fDtrControl, c.dtrControl) << c.flow;
        EXPECT_EQ(d.fRtsControl, c.rtsControl) << c.flow;
        EXPECT_EQ(d.fOutxCtsFlow != 0, c.cts) << c.flow;
        EXPECT_EQ(d.fOutX != 0 && d.fInX != 0, c.xonXoff) << c.flow;
        EXPECT_EQ(d.fDsrSensitivity, 0u);
        // Outside the mask.
        EXPECT_EQ(d.BaudRate, 9600u);
        EXPECT_EQ(d.ByteSize, 7);
    }
}

TEST(SerialDcb, LineSettingsCommandEnablesDtrAndHandshake) {
    Settings settings;
    settings.serialLineMask = kLineDtr | kLineRts;
    settings.serialLines = 0;
    DCB d = used();
    translateSerialSettings(d, startSettings(settings), vek::io::kApplyLineSettings);
    EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));

    const uint8_t payload[] = {0x00, 0xC2, 0x01, 0x00, 8, 0, 0, 1};  // 115200 8N1, RTS/CTS
    SerialSettings command;
    ASSERT_TRUE(commandSettings(payload, sizeof payload, &command));
    translateSerialSettings(d, command, vek::io::kApplyLineSettings);
    EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(d.fOutxCtsFlow, 1u);
    EXPECT_EQ(d.BaudRate, 115200u);
}

TEST(SerialDevicePath, PrefixedOnceOnly) {
    EXPECT_EQ(vek::io::serialDevicePath("COM3"), "\\\\.\\COM3");
    EXPECT_EQ(vek::io::serialDevicePath("\\\\.\\COM12"), "\\\\.\\COM12");
    EXPECT_EQ(vek::io::serialDevicePath("COM10"), "\\\\.\\COM10");
}

TEST(SerialPortEnum, SetupApiListsWithoutFailing) {
    // Wine may have no Ports class devices at all; what is listed must be stable.
    std::vector<SerialPortInfo> first = enumerateSerialPorts();
    std::vector<SerialPortInfo> second = enumerateSerialPorts();
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].name, second[i].name);
        EXPECT_TRUE(first[i].description.empty());
    }
}

}  // namespace
