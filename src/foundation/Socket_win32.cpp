#include "foundation/Error.h"
#include "foundation/OverlappedStream_win32.h"
#include "foundation/Socket.h"
#include "foundation/SystemError.h"
#include "foundation/Win32.h"

namespace vek::io {

namespace {

constexpr DWORD kAcceptRecheckMs = 100;

// Owns a SOCKET.
class SocketHandle {
public:
    explicit SocketHandle(SOCKET s) : s_(s) {}
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;
    ~SocketHandle() {
        if (s_ != INVALID_SOCKET) closesocket(s_);
    }
    SOCKET get() const { return s_; }
    SOCKET release() {
        SOCKET s = s_;
        s_ = INVALID_SOCKET;
        return s;
    }

private:
    SOCKET s_;
};

// The listening socket reports waiting clients through an event (WSAEventSelect),
// so a wait for a client can also wait for stop().
class TcpListener final : public Listener {
public:
    TcpListener(SOCKET s, win::Handle clientEvent, win::Handle stopEvent)
        : socket_(s), clientEvent_(std::move(clientEvent)), stopEvent_(std::move(stopEvent)) {}

    AcceptResult accept(std::unique_ptr<Stream>& connection) override;
    void stop() override { SetEvent(stopEvent_.get()); }

private:
    bool stopped() const { return WaitForSingleObject(stopEvent_.get(), 0) == WAIT_OBJECT_0; }

    SocketHandle socket_;
    win::Handle clientEvent_;
    win::Handle stopEvent_;
};

AcceptResult TcpListener::accept(std::unique_ptr<Stream>& connection) {
    for (;;) {
        if (stopped()) return AcceptResult::kStopped;
        sockaddr_in6 address{};  // 28 bytes, room for any peer
        int length = sizeof address;
        SocketHandle client(::accept(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length));
        if (client.get() == INVALID_SOCKET) {
            int code = WSAGetLastError();
            if (code != WSAEWOULDBLOCK) return err::setWinError(static_cast<uint32_t>(code)), AcceptResult::kFailed;
            // Wine now and then leaves a waiting client unsignalled: a bounded
            // wait asks accept again rather than waiting for ever.
            HANDLE waits[2] = {clientEvent_.get(), stopEvent_.get()};
            DWORD woken = WaitForMultipleObjects(2, waits, FALSE, kAcceptRecheckMs);
            if (woken != WAIT_OBJECT_0 && woken != WAIT_TIMEOUT) return AcceptResult::kStopped;
            // Resets the event and re-arms FD_ACCEPT.
            WSANETWORKEVENTS events;
            WSAEnumNetworkEvents(socket_.get(), clientEvent_.get(), &events);
            continue;
        }
        // An accepted socket inherits the event selection and non-blocking mode: undo both.
        u_long blocking = 0;
        if (WSAEventSelect(client.get(), nullptr, 0) != 0 || ioctlsocket(client.get(), FIONBIO, &blocking) != 0)
            return err::setSocketError(), AcceptResult::kFailed;
        connection = makeOverlappedStream(reinterpret_cast<HANDLE>(client.release()), OverlappedKind::kSocket);
        return connection ? AcceptResult::kConnected : AcceptResult::kFailed;
    }
}

}  // namespace

std::unique_ptr<Listener> listenTcp(uint16_t port, uint16_t* boundPort) {
    SocketHandle s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (s.get() == INVALID_SOCKET) return err::setSocketError(), nullptr;

    // A message goes out as two writes (header, payload); without this the
    // payload of a command reply can wait for the peer's delayed ACK. Accepted
    // connections inherit it.
    BOOL on = TRUE;
    ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(s.get(), 1) != 0)
        return err::setSocketError(), nullptr;
    if (boundPort) {
        int length = sizeof address;
        if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return err::setSocketError(), nullptr;
        *boundPort = ntohs(address.sin_port);
    }

    win::Handle clientEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    win::Handle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!clientEvent.valid() || !stopEvent.valid()) return err::setSystemError(), nullptr;
    if (WSAEventSelect(s.get(), clientEvent.get(), FD_ACCEPT) != 0) return err::setSocketError(), nullptr;
    return std::make_unique<TcpListener>(s.release(), std::move(clientEvent), std::move(stopEvent));
}

}  // namespace vek::io
