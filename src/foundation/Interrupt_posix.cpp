#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "foundation/Interrupt.h"

namespace vek::sys {

namespace {

void takeSignals(sigset_t set) {
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        // Nothing to end gracefully, or asked twice: at once, as the signal would.
        if (!detail::deliverInterrupt()) _exit(128 + signal);
    }
}

}  // namespace

void installInterruptHandling() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Threads made later inherit the mask, so only the taker sees these signals.
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    try {
        std::thread(takeSignals, set).detach();
    } catch (...) {
        // Without the taker the signals would stay blocked: let them act as before.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
}

}  // namespace vek::sys
