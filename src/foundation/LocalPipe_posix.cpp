#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "foundation/Error.h"
#include "foundation/FdStream_posix.h"
#include "foundation/LocalPipe.h"
#include "foundation/SystemError.h"

namespace vek::io {

namespace {

constexpr std::string_view kPipePrefix = "\\\\.\\pipe\\";

// The lock file beside a socket file: held (flock) by the process that listens
// on the socket for as long as it listens. A second program finds it taken and
// stops there, without ever connecting to the live server: a probe connection
// would start a capture session for it, or hang on a full backlog.
class SocketLock {
public:
    explicit SocketLock(std::string path) : path_(std::move(path)) {}
    SocketLock(SocketLock&&) = default;
    ~SocketLock() {
        // Removed while still held, so nobody can lock it on its way out.
        if (fd_.valid()) ::unlink(path_.c_str());
    }

    // False with the last error set; EADDRINUSE when another process holds it.
    bool acquire() {
        // A lock file removed and made anew between our open and our flock is
        // not the one at the path any more: try again on the new one.
        for (int attempt = 0; attempt < 8; ++attempt) {
            Fd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
            if (!fd.valid()) return err::setSystemError();
            if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
                if (errno != EWOULDBLOCK) return err::setSystemError();
                err::setErrnoError(EADDRINUSE);
                return false;
            }
            struct stat held {}, named {};
            if (::fstat(fd.get(), &held) == 0 && ::stat(path_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                held.st_ino == named.st_ino) {
                fd_ = std::move(fd);
                return true;
            }
        }
        err::setErrnoError(EADDRINUSE);
        return false;
    }

private:
    std::string path_;
    Fd fd_;
};

// Removes its socket file when it goes, unless someone has replaced it; then
// its lock file.
class UnixSocketListener final : public FdListener {
public:
    UnixSocketListener(Fd fd, WakePipe wake, std::string path, dev_t dev, ino_t ino, SocketLock lock)
        : FdListener(std::move(fd), std::move(wake)), path_(std::move(path)), dev_(dev), ino_(ino),
          lock_(std::move(lock)) {}
    ~UnixSocketListener() override {
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) ::unlink(path_.c_str());
    }

private:
    std::string path_;
    dev_t dev_;
    ino_t ino_;
    SocketLock lock_;
};

bool fillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    // sun_path needs room for the terminating NUL; a longer path is refused, never cut.
    if (path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos) {
        err::setErrnoError(path.size() >= sizeof address.sun_path ? ENAMETOOLONG : EINVAL);
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// A socket file that someone not holding our lock still listens on. The probe
// never blocks: a non-blocking connect is answered at once, and the probe is
// closed before that listener could act on it.
bool foreignListener(const sockaddr_un& address) {
    Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.valid()) return false;
    return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
           errno != ECONNREFUSED;
}

// With the lock held: what is left at the path is a socket file of a server
// that died (replaced), a file that is no socket (refused, kept), or, rarely, a
// socket some other program listens on without our lock (refused).
bool bindAt(const Fd& fd, const std::string& path, const sockaddr_un& address) {
    auto bindOnce = [&] { return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0; };
    if (bindOnce()) return true;
    if (errno != EADDRINUSE) return err::setSocketError();
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
        err::setErrnoError(EADDRINUSE);
        return err::addErrorContextF("pipe server path %s exists and is not a socket", path.c_str());
    }
    if (foreignListener(address)) {
        err::setErrnoError(EADDRINUSE);
        return err::addErrorContextF("pipe server %s is in use by another program", path.c_str());
    }
    ::unlink(path.c_str());
    return bindOnce() || err::setSocketError();
}

}  // namespace

std::string localPipeAddress(std::string_view name) {
    if (name.find('/') != std::string_view::npos) return std::string(name);
    if (name.substr(0, kPipePrefix.size()) == kPipePrefix) name.remove_prefix(kPipePrefix.size());
    if (name.empty()) return {};
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    std::string path = runtimeDir && *runtimeDir ? runtimeDir : "/tmp";
    if (path.back() != '/') path += '/';
    return path.append(name);
}

std::unique_ptr<Listener> listenLocalPipe(std::string_view name) {
    std::string path = localPipeAddress(name);
    if (path.empty()) {
        err::setFormatStringError("invalid pipe name \"%.*s\"", static_cast<int>(name.size()), name.data());
        return nullptr;
    }
    sockaddr_un address;
    if (!fillAddress(path, address)) return nullptr;

    SocketLock lock(path + ".lock");
    if (!lock.acquire()) {
        if (err::getLastError().code() == EADDRINUSE)
            err::addErrorContextF("pipe server %s is in use by another program", path.c_str());
        else
            err::addErrorContextF("pipe server lock file %s.lock", path.c_str());
        return nullptr;
    }
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return err::setSocketError(), nullptr;
    if (!bindAt(fd, path, address)) {
        if (err::getLastErrorContext().empty()) err::addErrorContextF("pipe server %s", path.c_str());
        return nullptr;
    }

    // Clients can connect only after listen, so no one gets in before the mode is set.
    struct stat st {};
    WakePipe wake;
    bool ok = ::chmod(path.c_str(), 0600) == 0 && ::lstat(path.c_str(), &st) == 0 && ::listen(fd.get(), 1) == 0;
    if (!ok) err::setSystemError();
    if (!ok || !FdListener::prepare(fd, wake)) {
        ::unlink(path.c_str());
        return nullptr;
    }
    return std::make_unique<UnixSocketListener>(std::move(fd), std::move(wake), std::move(path), st.st_dev,
                                                st.st_ino, std::move(lock));
}

}  // namespace vek::io
