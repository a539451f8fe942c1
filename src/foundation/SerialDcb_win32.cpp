#include "foundation/SerialDcb_win32.h"

#include "foundation/SystemError.h"

namespace vek::io {

void translateSerialSettings(DCB& dcb, const SerialSettings& s, uint32_t mask) {
    dcb.fBinary = 1;
    if (mask & kApplyBaudRate) dcb.BaudRate = s.baudRate;
    if (mask & kApplyDataBits) dcb.ByteSize = static_cast<BYTE>(s.dataBits);
    if (mask & kApplyStopBits) dcb.StopBits = static_cast<BYTE>(s.stopBits);
    if (mask & kApplyParity) {
        dcb.Parity = static_cast<BYTE>(s.parity);
        dcb.fParity = s.parity != 0;
    }
    if (mask & kApplyFlowControl) {
        dcb.fOutxCtsFlow = 0;
        dcb.fDsrSensitivity = 0;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fDtrControl = s.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb.fRtsControl = s.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        if (s.flowControl == kFlowRtsCts) {
            dcb.fOutxCtsFlow = 1;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else if (s.flowControl == kFlowXonXoff) {
            dcb.fOutX = 1;
            dcb.fInX = 1;
        }
    }
}

COMMTIMEOUTS readIntervalTimeouts(uint32_t readInterval) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = readInterval ? readInterval : MAXDWORD;
    return t;
}

COMMTIMEOUTS arrivalTimeouts() {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = kReadGapMs;
    t.ReadTotalTimeoutConstant = kReadLimitMs;
    return t;
}

bool applySerialSettings(HANDLE port, const SerialSettings& s, uint32_t mask) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return err::setSystemError();
    translateSerialSettings(dcb, s, mask);
    if (!SetCommState(port, &dcb)) return err::setSystemError();
    if (mask & kApplyReadInterval) {
        COMMTIMEOUTS t = readIntervalTimeouts(s.readInterval);
        if (!SetCommTimeouts(port, &t)) return err::setSystemError();
    }
    return true;
}

}  // namespace vek::io
