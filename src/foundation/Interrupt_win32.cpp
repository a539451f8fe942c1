#include "foundation/Interrupt.h"
#include "foundation/Win32.h"

namespace vek::sys {

namespace {

// The exit status of a process that Ctrl-C ends.
constexpr UINT kControlCExit = 0xC000013A;

BOOL WINAPI onConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    if (!detail::deliverInterrupt()) ExitProcess(kControlCExit);
    return TRUE;
}

}  // namespace

void installInterruptHandling() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

}  // namespace vek::sys
