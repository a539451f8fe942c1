#pragma once
// Line settings as Linux terminal attributes. termios2 (any baud rate through
// BOTHER) comes from the kernel's header, which cannot share a translation unit
// with <termios.h>: include this header only where <termios.h> is not.

#include <asm/termbits.h>

#include <cstdint>

#include "foundation/SerialPort.h"

namespace vek::io {

// Modem lines an apply raises or drops besides the attributes (TIOCM_* bits).
struct SerialLineChange {
    int raise = 0;
    int drop = 0;
};

// Pure: puts `tio` in raw mode and applies the fields `mask` selects. False with
// EINVAL as the last error for values the line cannot take (baud rate 0, data bits
// outside 5..8, 1.5 stop bits other than with 5 data bits, unknown codes), its
// context saying what was refused ("refused the baud rate 0"; a detail of its
// own starts with ": "); `tio` is then partly changed and must not be used.
bool translateSerialSettings(termios2& tio, SerialLineChange& lines, const SerialSettings& settings, uint32_t mask);

// Reads the port's attributes, translates and writes them back, then sets the
// modem lines. A port without modem lines (a pty) takes the attributes and
// ignores the line levels.
bool applySerialSettings(int fd, const SerialSettings& settings, uint32_t mask);

}  // namespace vek::io
