#pragma once
// A pseudo-terminal pair standing in for a serial line in POSIX tests: the code
// under test opens slavePath() like a port, the test plays the far end on the
// master. Nothing holds the slave open, so closing the master hangs the slave up.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class PtyPair {
public:
    PtyPair();  // check ok()
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    // Writes everything, waiting while the line is full. False on failure.
    bool write(const void* data, size_t size);
    bool write(const std::vector<uint8_t>& bytes) { return write(bytes.data(), bytes.size()); }
    // Reads until `size` bytes came or nothing arrives for `timeoutMs`.
    std::vector<uint8_t> read(size_t size, int timeoutMs = 5000);
    // The far end goes away: the slave side sees a hang-up.
    void closeMaster();

private:
    int master_ = -1;
    std::string slavePath_;
};
