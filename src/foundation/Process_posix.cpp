#include <signal.h>

#include <cstdio>

#include "foundation/Interrupt.h"
#include "foundation/Process.h"

namespace vek::sys {

void prepareProcess() {
    signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    installInterruptHandling();
}

}  // namespace vek::sys
