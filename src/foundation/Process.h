#pragma once

namespace vek::sys {

// Process set-up before anything else runs: sockets usable (Winsock 2.2 on
// Windows; on POSIX SIGPIPE ignored so a vanished peer is an error, never a
// death), standard output binary and unbuffered, interrupts taken (Interrupt.h).
void prepareProcess();

}  // namespace vek::sys
