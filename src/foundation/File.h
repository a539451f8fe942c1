#pragma once
// Files and the process's standard handles as streams (see Stream.h).

#include <memory>
#include <string_view>

#include "foundation/Stream.h"

namespace vek::io {

// How a named file is opened. Sharing applies on Windows only; POSIX has no
// share modes. Files created get the default permissions less the umask.
enum class FileMode {
    // Read and write, shared for reading, created when missing, kept. On a
    // regular file, reads and writes each have their own position: reads take
    // the bytes the file held when it was opened, from the start, and then end;
    // writes are appended after them. So nothing written is ever read back, and
    // nothing not yet read is overwritten. Other files are one stream each way.
    kReadWrite,
    kReadExisting,     // read only, shared for everything, must exist
    kOutputReadWrite,  // read and write, shared for reading, created when missing, truncated
    kOutputWriteOnly,  // write only, shared for reading, created when missing, truncated
};

enum class StdStream { kInput, kOutput };

// Null with the last error set when the file cannot be opened (a name with an
// embedded NUL is refused rather than cut short).
std::unique_ptr<Stream> openFile(std::string_view name, FileMode mode);

// A stream on a duplicate of the process's standard input or output (same
// access, not inherited by child processes). Closing it leaves the process's
// own handle open. Null with the last error set when there is no such handle.
std::unique_ptr<Stream> duplicateStd(StdStream which);

}  // namespace vek::io
