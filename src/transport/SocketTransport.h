#pragma once
// One accepted TCP connection, both the output and the command transport of
// its session. Threads: see TransportBase; close may come from any thread.

#include <memory>

#include "foundation/Stream.h"
#include "transport/TransportBase.h"

class SocketTransport : public TransportBase {
public:
    explicit SocketTransport(std::unique_ptr<vek::io::Stream> connection) : connection_(std::move(connection)) {}
    ~SocketTransport() override;

    void close() override;
    // 0 once the peer has closed the connection.
    size_t read(void* buffer, size_t size) override;
    // A peer that has gone makes this fail; it never raises a signal.
    size_t write(const void* buffer, size_t size) override;
    size_t writeParts(const ConstBytes* parts, size_t count) override;
    // 100 ms.
    bool wait() override;

private:
    std::unique_ptr<vek::io::Stream> connection_;
};
