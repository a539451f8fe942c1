// The Windows side: line settings as a DCB. SerialController on a COM port (a pty
// under Wine) and enumeration (--ser-enum) run end to end.

#include "foundation/SerialDcb_win32.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(SerialDcb, LineSettings) {
    struct Case {
        DWORD baud, dataBits, stopBits, parity, flow, dtr, rts, dtrControl, rtsControl, cts, xonXoff;
    };
    const Case cases[] = {
        {38400, 8, ONESTOPBIT, NOPARITY, 0, 1, 1, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0, 0},
        {115200, 7, ONESTOPBIT, ODDPARITY, 0, 0, 0, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, 0, 0},
        {300, 8, TWOSTOPBITS, EVENPARITY, 1, 1, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, 1, 0},
        {9600, 5, ONE5STOPBITS, MARKPARITY, 2, 0, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE, 0, 1},
        {1234567, 6, ONESTOPBIT, SPACEPARITY, 9, 1, 1, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        // As a port might hold it before: everything set that an apply clears.
        DCB d{};
        d.StopBits = TWOSTOPBITS, d.Parity = ODDPARITY, d.fParity = 1;
        d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = d.fOutX = d.fInX = 1;
        d.fDtrControl = DTR_CONTROL_HANDSHAKE, d.fRtsControl = RTS_CONTROL_TOGGLE;
        vek::io::SerialSettings s;
        s.baudRate = c.baud, s.dataBits = c.dataBits, s.stopBits = c.stopBits, s.parity = c.parity;
        s.flowControl = c.flow, s.dtr = uint8_t(c.dtr), s.rts = uint8_t(c.rts);
        vek::io::translateSerialSettings(d, s, vek::io::kApplyLineSettings);
        EXPECT_EQ(std::vector<DWORD>({d.fBinary, d.BaudRate, d.ByteSize, d.StopBits, d.Parity, d.fParity}),
                  std::vector<DWORD>({1, c.baud, c.dataBits, c.stopBits, c.parity, c.parity != NOPARITY}));
        // DSR flow control is never ours to change.
        EXPECT_EQ(std::vector<DWORD>({d.fDtrControl, d.fRtsControl, d.fOutxCtsFlow, d.fOutX, d.fInX, d.fDsrSensitivity,
                                      d.fOutxDsrFlow}),
                  std::vector<DWORD>({c.dtrControl, c.rtsControl, c.cts, c.xonXoff, c.xonXoff, 0, 1}));
    }
}

}  // namespace
