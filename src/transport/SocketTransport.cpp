#include "transport/SocketTransport.h"

#include <chrono>
#include <thread>

SocketTransport::~SocketTransport() { close(); }

void SocketTransport::close() { connection_->close(); }

size_t SocketTransport::read(void* buffer, size_t size) { return connection_->read(buffer, size); }

size_t SocketTransport::write(const void* buffer, size_t size) { return connection_->write(buffer, size); }

size_t SocketTransport::writeParts(const ConstBytes* parts, size_t count) {
    return connection_->writeParts(parts, count);
}

bool SocketTransport::wait() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
}
