#pragma once
// Closes a transport from this thread while another thread is blocked reading it.

#include <cstddef>

#include "transport/TransportBase.h"

struct CloseDuringRead {
    size_t result;                 // what the read returned; kNotReturned when it never did
    long millisecondsAfterClose;   // how long it took to return once close() was called
};
constexpr size_t kNotReturned = 12345;

// Starts a read of `t` on another thread, closes `t` while it waits and gives
// the read up to five seconds to return.
CloseDuringRead closeDuringRead(TransportBase& t);
