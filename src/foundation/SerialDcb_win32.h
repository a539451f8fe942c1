#pragma once
// Line settings as a Windows DCB and COMMTIMEOUTS. Included by *_win32.cpp only.

#include <cstdint>

#include "foundation/SerialPort.h"
#include "foundation/Win32.h"

namespace vek::io {

// Pure: fBinary on, then the fields `mask` selects. SetCommState judges the values.
void translateSerialSettings(DCB& dcb, const SerialSettings& settings, uint32_t mask);

// The time-outs of kApplyReadInterval: a read ends once the line has been quiet
// for `readInterval` ms (0: returns at once with what is there).
COMMTIMEOUTS readIntervalTimeouts(uint32_t readInterval);

// The time-outs the I/O thread reads with: a read ends 1 ms after the line goes
// quiet, and at the latest kReadLimitMs after it began, with every byte there (an
// idle line ends it empty). So bytes reach the host within kReadLimitMs however
// busy the line. (The documented "return on the first byte" setting, interval and
// multiplier MAXDWORD, never completes on Wine's COM ports.) Writes: no time-out.
constexpr DWORD kReadGapMs = 1;
constexpr DWORD kReadLimitMs = 50;
COMMTIMEOUTS arrivalTimeouts();

// GetCommState, translate, SetCommState, and with kApplyReadInterval SetCommTimeouts.
bool applySerialSettings(HANDLE port, const SerialSettings& settings, uint32_t mask);

}  // namespace vek::io
