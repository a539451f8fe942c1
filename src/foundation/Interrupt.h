#pragma once
// Ctrl-C, SIGINT and SIGTERM: the first one ends the work in progress the way
// it would end by itself (a capture as if its input had ended), so files stay
// consistent and the program exits normally; a second one ends the process at
// once.
//
// The program says what "ending the work" means with an InterruptScope around
// it. An interrupt that finds no scope ends the process at once.

#include <functional>

namespace vek::sys {

// At start-up, before any other thread exists. POSIX: the signals are blocked
// in every thread and taken by a thread of their own; Windows: a console
// control handler. Actions therefore run on a thread of their own.
void installInterruptHandling();

// Whether an interrupt has come.
bool interrupted();

// From here the program only ends, with a result it already has: a first
// interrupt changes nothing instead of ending the process as the signal
// would; a second one still ends it at once.
void markProgramEnding();

// While it lives, the first interrupt calls `action` (once). Scopes nest: all
// live ones are called, innermost first. The destructor waits for an action
// under way, so the action may use what the scope's owner holds.
class InterruptScope {
public:
    explicit InterruptScope(std::function<void()> action);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    std::function<void()> action_;
};

// For work that a first interrupt waits for and a further one abandons: while
// it lives, the next interrupt (the first or a later one) calls `action` once,
// beside the InterruptScope actions if it is the first, and does not end the
// process. The interrupt after that ends it at once, as usual. The destructor
// waits for an action under way.
class LateInterruptScope {
public:
    explicit LateInterruptScope(std::function<void()> action);
    ~LateInterruptScope();
    LateInterruptScope(const LateInterruptScope&) = delete;
    LateInterruptScope& operator=(const LateInterruptScope&) = delete;

private:
    std::function<void()> action_;
};

namespace detail {
// The platform handler's side: the first interrupt runs the scopes' actions and
// returns true, and so does an interrupt that finds a LateInterruptScope; false
// when nothing can end gracefully (no scope, or a second interrupt), and the
// caller ends the process.
bool deliverInterrupt();
}  // namespace detail

}  // namespace vek::sys
