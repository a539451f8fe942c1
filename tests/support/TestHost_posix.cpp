#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "support/TestHost.h"

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

class SocketClient final : public TestClient {
public:
    explicit SocketClient(int fd) : fd_(fd) {}
    ~SocketClient() override { ::close(fd_); }

    bool send(const std::vector<uint8_t>& bytes) override {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    std::vector<uint8_t> receive(size_t n, int timeoutMs) override {
        std::vector<uint8_t> out;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        uint8_t buffer[4096];
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, remainingMs(deadline)) <= 0) break;
            ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0) break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

    bool waitClosed(int timeoutMs) override {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        uint8_t buffer[4096];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, remainingMs(deadline)) <= 0) return false;
            if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
        }
    }

private:
    int fd_;
};

std::unique_ptr<TestClient> connectTo(int domain, const sockaddr* address, socklen_t length) {
    int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (::connect(fd, address, length) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<SocketClient>(fd);
}

}  // namespace

std::unique_ptr<TestClient> TestClient::connectTcp(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return connectTo(AF_INET, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

std::unique_ptr<TestClient> TestClient::connectPipe(const std::string& path, int) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return nullptr;
    std::memcpy(address.sun_path, path.data(), path.size());
    return connectTo(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

StdOutputToFile::StdOutputToFile(const std::string& path) {
    std::fflush(stdout);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    saved_ = ::dup(STDOUT_FILENO);
    ok_ = saved_ >= 0 && ::dup2(fd, STDOUT_FILENO) >= 0;
    ::close(fd);
}

StdOutputToFile::~StdOutputToFile() {
    if (saved_ < 0) return;
    ::dup2(static_cast<int>(saved_), STDOUT_FILENO);
    ::close(static_cast<int>(saved_));
}

StdInputFromPipe::StdInputFromPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    reader_ = fds[0];
    writer_ = fds[1];
    saved_ = ::dup(STDIN_FILENO);
    ok_ = saved_ >= 0 && ::dup2(fds[0], STDIN_FILENO) >= 0;
}

StdInputFromPipe::~StdInputFromPipe() {
    closeWriter();
    if (saved_ >= 0) {
        ::dup2(static_cast<int>(saved_), STDIN_FILENO);
        ::close(static_cast<int>(saved_));
    }
    if (reader_ >= 0) ::close(static_cast<int>(reader_));
}

bool StdInputFromPipe::write(const std::vector<uint8_t>& bytes) {
    return writer_ >= 0 && ::write(static_cast<int>(writer_), bytes.data(), bytes.size()) ==
                               static_cast<ssize_t>(bytes.size());
}

void StdInputFromPipe::closeWriter() {
    if (writer_ >= 0) ::close(static_cast<int>(writer_));
    writer_ = -1;
}

bool writeProcessStdout(const std::string& text) {
    return ::write(STDOUT_FILENO, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

long openHandleCount() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    long count = 0;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1;  // the listing's own descriptor
}

std::string testPipeName(const std::string& folder) { return folder + "/pipe"; }
