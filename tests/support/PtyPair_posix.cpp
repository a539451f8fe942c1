#include "support/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

PtyPair::PtyPair() {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    char name[128];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        ::close(fd);
        return;
    }
    master_ = fd;
    slavePath_ = name;
}

PtyPair::~PtyPair() { closeMaster(); }

void PtyPair::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

bool PtyPair::write(const void* data, size_t size) {
    auto p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::write(master_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> PtyPair::read(size_t size, int timeoutMs) {
    std::vector<uint8_t> out;
    uint8_t chunk[4096];
    while (out.size() < size) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, size - out.size()));
        if (n <= 0) break;
        out.insert(out.end(), chunk, chunk + n);
    }
    return out;
}
