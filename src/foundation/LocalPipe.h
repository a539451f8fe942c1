#pragma once
// The listener of the local pipe server: a named pipe "\\.\pipe\NAME" on
// Windows, a Unix-domain stream socket elsewhere.

#include <memory>
#include <string>
#include <string_view>

#include "foundation/Stream.h"

namespace vek::io {

// Where a pipe name leads.
// Windows: the name itself when it is at least 9 characters and starts with
// "\\.\pipe\", else that prefix followed by the name.
// POSIX: a name with a '/' is a path, used as given. Otherwise the name, less a
// leading "\\.\pipe\", under $XDG_RUNTIME_DIR when that is set and non-empty,
// else under /tmp. Empty when nothing is left of the name.
std::string localPipeAddress(std::string_view name);

// Windows: creates the first pipe instance (duplex, overlapped, byte mode, one
// instance, 4096-byte buffers); each accept connects the current instance and
// hands it over, and the next accept creates a new one (kFatal when it cannot).
// POSIX: binds and listens on the socket file (mode 0600, backlog 1), holding a
// lock file "<path>.lock" beside it while it listens. A second listener on the
// same path finds the lock taken and fails at once with "address in use",
// without touching the live server. A socket file left by a server that died
// is replaced; a file that is not a socket fails with "address in use". The
// socket file (if still ours) and the lock file are removed when the listener goes.
// Null with the last error set on failure.
std::unique_ptr<Listener> listenLocalPipe(std::string_view name);

}  // namespace vek::io
