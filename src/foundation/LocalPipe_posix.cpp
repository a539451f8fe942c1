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

// Removes its socket file when it goes, unless someone has replaced it.
class UnixSocketListener final : public FdListener {
public:
    UnixSocketListener(Fd fd, WakePipe wake, std::string path, dev_t dev, ino_t ino)
        : FdListener(std::move(fd), std::move(wake)), path_(std::move(path)), dev_(dev), ino_(ino) {}
    ~UnixSocketListener() override {
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) ::unlink(path_.c_str());
    }

private:
    std::string path_;
    dev_t dev_;
    ino_t ino_;
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

// A socket file nobody listens on any more (its server died without removing it).
bool isStaleSocket(const std::string& path, const sockaddr_un& address) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.valid()) return false;
    return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
           errno == ECONNREFUSED;
}

bool bindReplacingStale(const Fd& fd, const std::string& path, const sockaddr_un& address) {
    auto bindOnce = [&] { return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0; };
    if (bindOnce()) return true;
    if (errno != EADDRINUSE) return err::setSocketError();
    if (!isStaleSocket(path, address)) {
        err::setErrnoError(EADDRINUSE);
        return false;
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

    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return err::setSocketError(), nullptr;
    if (!bindReplacingStale(fd, path, address)) return nullptr;

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
                                                st.st_ino);
}

}  // namespace vek::io
