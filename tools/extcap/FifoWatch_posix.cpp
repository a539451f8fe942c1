#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "FifoWatch.h"

bool waitForReaderGone(const std::string& path, const std::atomic<bool>& watching) {
    // A writer of our own on the same fifo: when the last reader closes, poll
    // reports an error on every writer, though nothing is written.
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool gone = false;
    while (watching.load() && !gone) {
        pollfd p{fd, 0, 0};
        gone = ::poll(&p, 1, 200) > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
    }
    ::close(fd);
    return gone;
}
