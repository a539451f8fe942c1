// The Windows side: line settings as a DCB, and SerialController on a real COM
// port. Enumeration runs end to end (--ser-enum).

#include "foundation/SerialDcb_win32.h"

#include <cstdlib>
#include <thread>

#include "SerialCapture.h"

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

// Runs when QW_TEST_COM_PORT names a port whose far end serial_com_port.py plays:
// it answers "ping" with 64 KiB counting modulo 251, and
// hangs up after "bye", which must end the session with exactly one error.
TEST(WineComPort, BytesBothWaysThenHangUp) {
    const char* port = std::getenv("QW_TEST_COM_PORT");
    if (!port || !*port) GTEST_SKIP() << "QW_TEST_COM_PORT not set (serial_com_port.py sets it)";
    Settings settings;
    settings.serialPortName = port;
    SerialController controller(&settings);
    MemoryTransport output, command;
    uint32_t failure = 0;
    std::thread session([&] {
        EXPECT_FALSE(controller.run(&output, &command));
        failure = vek::err::getLastError().code();
    });
    command.pushInput(frame(kCmdSerialTransmit, Bytes{'p', 'i', 'n', 'g'}));
    Bytes pong;
    for (int i = 0; i < 65536; ++i) pong.push_back(static_cast<uint8_t>(i % 251));
    EXPECT_TRUE(receivedData(output, pong.size()) == pong);
    command.pushInput(frame(kCmdSerialTransmit, Bytes{'b', 'y', 'e'}));
    // The hang-up closes the command transport, which ends the session on its own.
    session.join();
    EXPECT_TRUE(command.closed());
    expectEndedByOneError(output, failure);
}

}  // namespace
