#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "foundation/FdStream_posix.h"
#include "foundation/Socket.h"
#include "foundation/SystemError.h"

namespace vek::io {

std::unique_ptr<Listener> listenTcp(uint16_t port, uint16_t* boundPort) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd.valid()) return err::setSocketError(), nullptr;

    // Windows lets a server bind again while connections of an earlier run sit
    // in TIME_WAIT; SO_REUSEADDR gives POSIX the same (and only that) here.
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // A message goes out as two writes (header, payload); without this the
    // payload of a command reply can wait for the peer's delayed ACK. Accepted
    // connections inherit it.
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 1) != 0)
        return err::setSocketError(), nullptr;

    if (boundPort) {
        socklen_t length = sizeof address;
        if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return err::setSocketError(), nullptr;
        *boundPort = ntohs(address.sin_port);
    }
    return FdListener::create(std::move(fd));
}

}  // namespace vek::io
