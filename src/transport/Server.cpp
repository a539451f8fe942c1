#include "transport/Server.h"

#include <chrono>

#include "foundation/Error.h"
#include "foundation/LocalPipe.h"
#include "foundation/Socket.h"
#include "transport/PipeTransport.h"
#include "transport/SocketTransport.h"

namespace {

// After a failed accept: a persistent failure (out of descriptors, say) must
// not turn the loop into a busy spin.
constexpr uint32_t kAcceptRetryMs = 100;

}  // namespace

bool StreamServer::serve(const SessionCallback& session) {
    if (!listener_) {
        vek::io::failClosed();
        return false;
    }
    for (;;) {
        if (stopped()) return finishStopped();
        std::unique_ptr<vek::io::Stream> connection;
        switch (listener_->accept(connection)) {
            case vek::io::AcceptResult::kStopped:
                return finishStopped();
            case vek::io::AcceptResult::kFatal:
                return false;
            case vek::io::AcceptResult::kFailed:
                if (waitStopped(kAcceptRetryMs)) return finishStopped();
                break;
            case vek::io::AcceptResult::kConnected: {
                std::unique_ptr<TransportBase> client = wrap(std::move(connection));
                session(*client);
                client->close();
                break;
            }
        }
    }
}

void StreamServer::stop() {
    // All under the lock, notify included: serve takes the lock before it
    // returns, so nothing here can touch a server its owner has destroyed.
    std::lock_guard<std::mutex> hold(stopMutex_);
    stopped_ = true;
    if (listener_) listener_->stop();
    stopChanged_.notify_all();
}

bool StreamServer::stopped() {
    std::lock_guard<std::mutex> hold(stopMutex_);
    return stopped_;
}

bool StreamServer::waitStopped(uint32_t milliseconds) {
    std::unique_lock<std::mutex> hold(stopMutex_);
    return stopChanged_.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return stopped_; });
}

bool StreamServer::finishStopped() {
    std::lock_guard<std::mutex> hold(stopMutex_);  // until stop() has returned
    return true;
}

bool TcpServer::open(uint32_t port) {
    // The port is a u16 on the wire; a larger number must not quietly become another port.
    if (port > 0xFFFF) {
        vek::err::setFormatStringError("TCP port %u is out of range", port);
        return false;
    }
    listener_ = vek::io::listenTcp(static_cast<uint16_t>(port), &port_);
    return listener_ != nullptr || vek::err::addErrorContextF("TCP server port %u", port);
}

std::unique_ptr<TransportBase> TcpServer::wrap(std::unique_ptr<vek::io::Stream> connection) {
    return std::make_unique<SocketTransport>(std::move(connection));
}

bool PipeServer::open(std::string_view name) {
    address_ = vek::io::localPipeAddress(name);
    listener_ = vek::io::listenLocalPipe(name);
    return listener_ != nullptr;
}

std::unique_ptr<TransportBase> PipeServer::wrap(std::unique_ptr<vek::io::Stream> connection) {
    return std::make_unique<PipeTransport>(std::move(connection));
}
