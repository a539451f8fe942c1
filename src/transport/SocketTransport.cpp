#include "transport/SocketTransport.h"

#include <chrono>
#include <thread>

SocketTransport::~SocketTransport() { close(); }

void SocketTransport::close() {
    noteClose();
    connection_->close();
}

size_t SocketTransport::read(void* buffer, size_t size) {
    size_t n = connection_->read(buffer, size);
    if (size > 0) noteRead(n);
    return n;
}

size_t SocketTransport::write(const void* buffer, size_t size) {
    size_t n = connection_->write(buffer, size);
    noteWrite(n);
    return n;
}

size_t SocketTransport::writeParts(const ConstBytes* parts, size_t count) {
    size_t n = connection_->writeParts(parts, count);
    noteWrite(n);
    return n;
}

bool SocketTransport::wait() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
}
