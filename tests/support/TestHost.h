#pragma once
// The host's side of the platform, for transport and session tests: clients of
// our servers, and standard input from a pipe.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Stream.h"

// A client of 127.0.0.1:port, or of a pipe server's address
// (vek::io::localPipeAddress), waiting while the server is busy with another
// client. Null when it cannot connect.
std::unique_ptr<vek::io::Stream> connectTcp(uint16_t port);
std::unique_ptr<vek::io::Stream> connectPipe(const std::string& address);

inline bool send(vek::io::Stream& s, const std::vector<uint8_t>& bytes) {
    return s.write(bytes.data(), bytes.size()) == bytes.size();
}
// Reads until n bytes have come or the stream has ended. Gives up after five
// seconds, closing the stream, so a broken server fails a test instead of
// hanging it; `inTime`, when given, is false then.
std::vector<uint8_t> receive(vek::io::Stream& s, size_t n, bool* inTime = nullptr);
// True when the server closes the connection in time (bytes that arrive meanwhile are dropped).
inline bool waitClosed(vek::io::Stream& s) {
    bool inTime = false;
    receive(s, SIZE_MAX, &inTime);
    return inTime;
}

// Standard input comes from a pipe the test writes, until the object goes.
class StdInputFromPipe {
public:
    StdInputFromPipe();
    ~StdInputFromPipe();
    bool ok() const { return ok_; }
    bool write(const std::vector<uint8_t>& bytes);
    // The reader sees the end of its input.
    void closeWriter();

private:
    intptr_t saved_ = -1, reader_ = -1, writer_ = -1;
    bool ok_ = false;
};

// Open descriptors or handles of this process; -1 when the platform cannot
// tell (Wine reports no handle count).
long openHandleCount();
