#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "foundation/FdStream_posix.h"
#include "support/TestHost.h"

namespace {

std::unique_ptr<vek::io::Stream> connectTo(int domain, const void* address, socklen_t length) {
    vek::io::Fd fd(::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() || ::connect(fd.get(), static_cast<const sockaddr*>(address), length) != 0) return nullptr;
    return vek::io::makeFdStream(std::move(fd));
}

}  // namespace

std::unique_ptr<vek::io::Stream> connectTcp(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return connectTo(AF_INET, &address, sizeof address);
}

std::unique_ptr<vek::io::Stream> connectPipe(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return nullptr;
    std::memcpy(address.sun_path, path.data(), path.size());
    return connectTo(AF_UNIX, &address, sizeof address);
}

StdInputFromPipe::StdInputFromPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    reader_ = fds[0];
    writer_ = fds[1];
    saved_ = ::dup(STDIN_FILENO);
    ok_ = saved_ >= 0 && ::dup2(fds[0], STDIN_FILENO) >= 0;
}

StdInputFromPipe::~StdInputFromPipe() {
    closeWriter();
    ::dup2(int(saved_), STDIN_FILENO);
    ::close(int(saved_));
    ::close(int(reader_));
}

bool StdInputFromPipe::write(const std::vector<uint8_t>& bytes) {
    return ::write(int(writer_), bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

void StdInputFromPipe::closeWriter() {
    if (writer_ >= 0) ::close(int(writer_));
    writer_ = -1;
}

long openHandleCount() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    long count = -1;  // the listing's own descriptor
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}
