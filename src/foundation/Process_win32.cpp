#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "foundation/Interrupt.h"
#include "foundation/Process.h"
#include "foundation/Win32.h"

namespace vek::sys {

void prepareProcess() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);  // the result is not used: socket calls report their own failures
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    installInterruptHandling();
}

}  // namespace vek::sys
