#include "foundation/SerialTermios_posix.h"

#include <sys/ioctl.h>

#include <cerrno>

#include "foundation/Error.h"
#include "foundation/Format.h"
#include "foundation/SystemError.h"

namespace vek::io {

namespace {

// EINVAL, with what the line cannot take as the console context; the port's
// name goes in front of it later.
bool invalid(std::string why) {
    err::setErrnoError(EINVAL);
    err::setErrorContext(std::move(why));
    return false;
}

void makeRaw(termios2& tio) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                                          INPCK | IGNPAR | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CLOCAL | CREAD;
    // VMIN 1 keeps a read with nothing to deliver at EAGAIN; 0 would read as end of file.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

bool dataBits(termios2& tio, uint32_t bits) {
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    if (bits < 5 || bits > 8) return invalid(sl::formatString("refused %u data bits", bits));
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kSizes[bits - 5];
    return true;
}

bool stopBits(termios2& tio, uint32_t code) {
    // CSTOPB on a 5-bit word is 1.5 stop bits on the UART, which is why the DCB
    // allows 1.5 only there and 2 everywhere else.
    bool fiveBits = (tio.c_cflag & CSIZE) == CS5;
    switch (code) {
    case 0: tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); return true;
    case 1: if (!fiveBits) return invalid(": 1.5 stop bits need 5 data bits on this system"); break;
    case 2: if (fiveBits) return invalid(": 2 stop bits need 6 or more data bits on this system"); break;
    default: return invalid(sl::formatString("refused the stop bits code %u", code));
    }
    tio.c_cflag |= CSTOPB;
    return true;
}

bool parity(termios2& tio, uint32_t code) {
    static const tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
    if (code >= sizeof kParity / sizeof kParity[0]) return invalid(sl::formatString("refused the parity code %u", code));
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR)) | kParity[code];
    return true;
}

void flowControl(termios2& tio, SerialLineChange& lines, const SerialSettings& s) {
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    (s.dtr ? lines.raise : lines.drop) |= TIOCM_DTR;
    if (s.flowControl == kFlowRtsCts) {
        // The driver drives RTS itself; the rts level does not apply.
        tio.c_cflag |= CRTSCTS;
        return;
    }
    (s.rts ? lines.raise : lines.drop) |= TIOCM_RTS;
    if (s.flowControl == kFlowXonXoff) {
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = 0x11;
        tio.c_cc[VSTOP] = 0x13;
    }
}

bool setLines(int fd, int request, int bits) {
    if (bits == 0 || ioctl(fd, request, &bits) == 0) return true;
    // A pty has no modem lines; its attributes still apply.
    if (errno == ENOTTY || errno == EINVAL) return true;
    return err::setSystemError();
}

}  // namespace

bool translateSerialSettings(termios2& tio, SerialLineChange& lines, const SerialSettings& s, uint32_t mask) {
    lines = {};
    makeRaw(tio);
    if (mask & kApplyBaudRate) {
        // Speed 0 means "hang up" to a terminal: never a line setting.
        if (s.baudRate == 0) return invalid("refused the baud rate 0");
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD)) | BOTHER;
        tio.c_ispeed = s.baudRate;
        tio.c_ospeed = s.baudRate;
    }
    if ((mask & kApplyDataBits) && !dataBits(tio, s.dataBits)) return false;
    if ((mask & kApplyStopBits) && !stopBits(tio, s.stopBits)) return false;
    if ((mask & kApplyParity) && !parity(tio, s.parity)) return false;
    if (mask & kApplyFlowControl) flowControl(tio, lines, s);
    // kApplyReadInterval has nothing to do here: the poll loop reads whatever has
    // arrived as soon as it arrives.
    return true;
}

bool applySerialSettings(int fd, const SerialSettings& s, uint32_t mask) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return err::setSystemError();
    SerialLineChange lines;
    if (!translateSerialSettings(tio, lines, s, mask)) return false;
    if (ioctl(fd, TCSETS2, &tio) != 0) return err::setSystemError();
    return setLines(fd, TIOCMBIS, lines.raise) && setLines(fd, TIOCMBIC, lines.drop);
}

}  // namespace vek::io
