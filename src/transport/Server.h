#pragma once
// The TCP server and the pipe server: one client at a time, one capture session
// per client, on the calling thread, for ever.
//
// The session callback gets the client's transport as both the output and the
// command transport and returns when the session is over (the client has gone,
// or its input failed); the server then closes the connection and waits for
// the next client. The callback's result is not used. A failure of one
// connection (accept, connect, the session) never ends the server.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/Stream.h"
#include "transport/TransportBase.h"

using SessionCallback = std::function<bool(TransportBase&)>;

class StreamServer {
public:
    StreamServer() = default;
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;
    virtual ~StreamServer() = default;

    // After a successful open, on the serving thread. Returns false when the
    // server cannot go on (the last error says why); true only after stop().
    bool serve(const SessionCallback& session);
    // Any thread, once open has returned: serve returns when it next waits for
    // a client. A running session is not interrupted. serve does not return
    // before stop has let go of the server, so its owner may destroy it then.
    void stop();

protected:
    virtual std::unique_ptr<TransportBase> wrap(std::unique_ptr<vek::io::Stream> connection) = 0;

    std::unique_ptr<vek::io::Listener> listener_;

private:
    bool stopped();
    bool waitStopped(uint32_t milliseconds);
    bool finishStopped();

    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    bool stopped_ = false;
};

class TcpServer final : public StreamServer {
public:
    // Listens on 0.0.0.0:port with a backlog of 1 (port 0: any free port, for
    // tests). A port above 65535 is refused. False with the last error set.
    bool open(uint32_t port);
    // The port actually listened on.
    uint16_t port() const { return port_; }

private:
    std::unique_ptr<TransportBase> wrap(std::unique_ptr<vek::io::Stream> connection) override;

    uint16_t port_ = 0;
};

class PipeServer final : public StreamServer {
public:
    // Creates the pipe (or socket file) for `name`; see vek::io::localPipeAddress.
    // False with the last error set.
    bool open(std::string_view name);
    const std::string& address() const { return address_; }

private:
    std::unique_ptr<TransportBase> wrap(std::unique_ptr<vek::io::Stream> connection) override;

    std::string address_;
};
