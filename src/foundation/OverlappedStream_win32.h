#pragma once
// Streams on handles opened for overlapped I/O: connected named-pipe instances
// and sockets. Shared by Socket_win32.cpp and LocalPipe_win32.cpp; included by
// *_win32.cpp files only.
//
// Each read or write starts one overlapped operation with its own manual-reset
// event and waits for it or for the stream's close event; close() sets that
// event, and a waiting call cancels its operation (CancelIoEx), waits for the
// cancellation to complete and returns, before the handle goes.

#include <memory>

#include "foundation/Stream.h"
#include "foundation/Win32.h"

namespace vek::io {

enum class OverlappedKind { kPipe, kSocket };

// Takes over `handle` (a SOCKET cast to HANDLE for kSocket; closed on failure).
// Reads end with 0 when the peer has gone (ERROR_HANDLE_EOF, ERROR_BROKEN_PIPE,
// a socket closed by its peer) or the stream is closed. Null with the last
// error set.
std::unique_ptr<Stream> makeOverlappedStream(HANDLE handle, OverlappedKind kind);

}  // namespace vek::io
