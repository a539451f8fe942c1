#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "foundation/Error.h"
#include "foundation/FdStream_posix.h"
#include "foundation/File.h"
#include "foundation/SystemError.h"

namespace vek::io {

namespace {

int openFlags(FileMode mode) {
    switch (mode) {
        case FileMode::kReadWrite:
            return O_RDWR | O_CREAT;
        case FileMode::kReadExisting:
            return O_RDONLY;
        case FileMode::kOutputReadWrite:
            return O_RDWR | O_CREAT | O_TRUNC;
        case FileMode::kOutputWriteOnly:
            return O_WRONLY | O_CREAT | O_TRUNC;
    }
    return O_RDONLY;
}

}  // namespace

std::unique_ptr<Stream> openFile(std::string_view name, FileMode mode) {
    if (name.find('\0') != std::string_view::npos) {
        err::setErrnoError(EINVAL);
        return nullptr;
    }
    std::string path(name);
    int fd = ::open(path.c_str(), openFlags(mode) | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        err::setSystemError();
        return nullptr;
    }
    return mode == FileMode::kReadWrite ? makeSharedFileStream(Fd(fd)) : makeFdStream(Fd(fd));
}

std::unique_ptr<Stream> duplicateStd(StdStream which) {
    int fd = ::fcntl(which == StdStream::kInput ? STDIN_FILENO : STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        err::setSystemError();
        return nullptr;
    }
    return makeFdStream(Fd(fd));
}

}  // namespace vek::io
