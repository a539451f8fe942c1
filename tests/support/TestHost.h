#pragma once
// The host's side of the platform, for transport and session tests: clients of
// our servers, and the process's standard handles pointed elsewhere for a while.
// Every wait has a limit, so a broken server fails a test instead of hanging it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TestClient {
public:
    // 127.0.0.1:port.
    static std::unique_ptr<TestClient> connectTcp(uint16_t port);
    // A pipe server's address (vek::io::localPipeAddress); waits up to the limit
    // while the server is busy with another client.
    static std::unique_ptr<TestClient> connectPipe(const std::string& address, int timeoutMs = 5000);

    virtual ~TestClient() = default;
    virtual bool send(const std::vector<uint8_t>& bytes) = 0;
    // Up to n bytes: returns when n have arrived, the server has closed the
    // connection, or the limit has passed.
    virtual std::vector<uint8_t> receive(size_t n, int timeoutMs = 5000) = 0;
    // True when the server closes the connection within the limit (bytes that
    // arrive meanwhile are dropped).
    virtual bool waitClosed(int timeoutMs = 5000) = 0;
};

// Standard output goes to `path` (created or truncated) until the object goes.
class StdOutputToFile {
public:
    explicit StdOutputToFile(const std::string& path);
    ~StdOutputToFile();
    StdOutputToFile(const StdOutputToFile&) = delete;
    StdOutputToFile& operator=(const StdOutputToFile&) = delete;
    bool ok() const { return ok_; }

private:
    intptr_t saved_ = -1, file_ = -1;
    bool ok_ = false;
};

// Standard input comes from a pipe the test writes, until the object goes.
class StdInputFromPipe {
public:
    StdInputFromPipe();
    ~StdInputFromPipe();
    StdInputFromPipe(const StdInputFromPipe&) = delete;
    StdInputFromPipe& operator=(const StdInputFromPipe&) = delete;
    bool ok() const { return ok_; }
    bool write(const std::vector<uint8_t>& bytes);
    // The reader sees the end of its input.
    void closeWriter();

private:
    intptr_t saved_ = -1, reader_ = -1, writer_ = -1;
    bool ok_ = false;
};

// Writes through the process's own standard output handle (not a duplicate).
bool writeProcessStdout(const std::string& text);

// A pipe server name private to one test: a socket path inside `folder` on
// POSIX, a unique name on Windows.
std::string testPipeName(const std::string& folder);

// Open descriptors or handles of this process; -1 when the platform cannot
// tell (Wine reports no handle count).
long openHandleCount();
