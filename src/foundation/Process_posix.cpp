#include <signal.h>

#include <cstdio>

#include "foundation/Process.h"

namespace vek::sys {

void prepareProcess() {
    signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

}  // namespace vek::sys
