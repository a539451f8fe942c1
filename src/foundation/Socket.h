#pragma once
// The TCP listener of the TCP server.

#include <cstdint>
#include <memory>

#include "foundation/Stream.h"

namespace vek::io {

// Listens on 0.0.0.0:port (IPv4) with a backlog of 1; port 0 picks a free port.
// `boundPort`, when given, receives the port actually bound. Null with the
// socket error set when the socket cannot be created, bound or put to listen.
// Accepted connections are read with recv and written with send; writing to a
// peer that has gone fails with an error, never with a signal.
std::unique_ptr<Listener> listenTcp(uint16_t port, uint16_t* boundPort = nullptr);

}  // namespace vek::io
