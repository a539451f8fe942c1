#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "foundation/Win32.h"
#include "support/TestHost.h"

namespace {

using Clock = std::chrono::steady_clock;

DWORD remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

HANDLE toHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
intptr_t fromHandle(HANDLE h) { return reinterpret_cast<intptr_t>(h); }

class TcpClient final : public TestClient {
public:
    explicit TcpClient(SOCKET s) : s_(s) {}
    ~TcpClient() override { closesocket(s_); }

    bool send(const std::vector<uint8_t>& bytes) override {
        size_t done = 0;
        while (done < bytes.size()) {
            int n = ::send(s_, reinterpret_cast<const char*>(bytes.data() + done), static_cast<int>(bytes.size() - done), 0);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // 1 readable, 0 limit passed.
    bool readable(Clock::time_point deadline) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s_, &set);
        DWORD ms = remainingMs(deadline);
        timeval limit{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
        return ::select(0, &set, nullptr, nullptr, &limit) > 0;
    }

    std::vector<uint8_t> receive(size_t n, int timeoutMs) override {
        std::vector<uint8_t> out;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[4096];
        while (out.size() < n && readable(deadline)) {
            int got = ::recv(s_, buffer, static_cast<int>(std::min(sizeof buffer, n - out.size())), 0);
            if (got <= 0) break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

    bool waitClosed(int timeoutMs) override {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[4096];
        while (readable(deadline))
            if (::recv(s_, buffer, sizeof buffer, 0) <= 0) return true;
        return false;
    }

private:
    SOCKET s_;
};

class PipeClient final : public TestClient {
public:
    explicit PipeClient(HANDLE h) : h_(h) {}

    bool send(const std::vector<uint8_t>& bytes) override {
        DWORD put = 0;
        return transfer(false, const_cast<uint8_t*>(bytes.data()), static_cast<DWORD>(bytes.size()), 5000, put) &&
               put == bytes.size();
    }

    std::vector<uint8_t> receive(size_t n, int timeoutMs) override {
        std::vector<uint8_t> out;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        uint8_t buffer[4096];
        while (out.size() < n) {
            DWORD got = 0;
            if (!transfer(true, buffer, static_cast<DWORD>(std::min(sizeof buffer, n - out.size())),
                          remainingMs(deadline), got) ||
                got == 0)
                break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

    bool waitClosed(int timeoutMs) override {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        uint8_t buffer[4096];
        for (;;) {
            DWORD got = 0;
            if (!transfer(true, buffer, sizeof buffer, remainingMs(deadline), got)) return lastError_ != WAIT_TIMEOUT;
            if (got == 0) return true;
        }
    }

private:
    // False on failure or when the limit passed (lastError_ is WAIT_TIMEOUT then).
    bool transfer(bool reading, void* buffer, DWORD size, DWORD timeoutMs, DWORD& done) {
        vek::win::Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        BOOL ok = reading ? ReadFile(h_.get(), buffer, size, nullptr, &ov) : WriteFile(h_.get(), buffer, size, nullptr, &ov);
        if (!ok && GetLastError() != ERROR_IO_PENDING) return lastError_ = GetLastError(), false;
        bool timedOut = WaitForSingleObject(event.get(), timeoutMs) != WAIT_OBJECT_0;
        if (timedOut) CancelIoEx(h_.get(), &ov);
        ok = GetOverlappedResult(h_.get(), &ov, &done, TRUE);
        if (ok) return true;
        lastError_ = timedOut ? WAIT_TIMEOUT : GetLastError();
        return false;
    }

    vek::win::Handle h_;
    DWORD lastError_ = 0;
};

}  // namespace

std::unique_ptr<TestClient> TestClient::connectTcp(uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return nullptr;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return nullptr;
    }
    return std::make_unique<TcpClient>(s);
}

std::unique_ptr<TestClient> TestClient::connectPipe(const std::string& address, int timeoutMs) {
    std::wstring name = vek::win::widen(address);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (h != INVALID_HANDLE_VALUE) return std::make_unique<PipeClient>(h);
        DWORD code = GetLastError();
        if (remainingMs(deadline) == 0) return nullptr;
        if (code == ERROR_PIPE_BUSY)
            WaitNamedPipeW(name.c_str(), remainingMs(deadline));
        else if (code == ERROR_FILE_NOT_FOUND)  // between two instances of the server
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        else
            return nullptr;
    }
}

StdOutputToFile::StdOutputToFile(const std::string& path) {
    HANDLE file = CreateFileW(vek::win::widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    file_ = fromHandle(file);
    saved_ = fromHandle(GetStdHandle(STD_OUTPUT_HANDLE));
    ok_ = SetStdHandle(STD_OUTPUT_HANDLE, file) != 0;
}

StdOutputToFile::~StdOutputToFile() {
    if (file_ == -1) return;
    SetStdHandle(STD_OUTPUT_HANDLE, toHandle(saved_));
    CloseHandle(toHandle(file_));
}

StdInputFromPipe::StdInputFromPipe() {
    HANDLE r, w;
    if (!CreatePipe(&r, &w, nullptr, 0)) return;
    reader_ = fromHandle(r);
    writer_ = fromHandle(w);
    saved_ = fromHandle(GetStdHandle(STD_INPUT_HANDLE));
    ok_ = SetStdHandle(STD_INPUT_HANDLE, r) != 0;
}

StdInputFromPipe::~StdInputFromPipe() {
    closeWriter();
    if (reader_ == -1) return;
    SetStdHandle(STD_INPUT_HANDLE, toHandle(saved_));
    CloseHandle(toHandle(reader_));
}

bool StdInputFromPipe::write(const std::vector<uint8_t>& bytes) {
    DWORD put = 0;
    return writer_ != -1 && WriteFile(toHandle(writer_), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
           put == bytes.size();
}

void StdInputFromPipe::closeWriter() {
    if (writer_ != -1) CloseHandle(toHandle(writer_));
    writer_ = -1;
}

bool writeProcessStdout(const std::string& text) {
    DWORD put = 0;
    return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &put, nullptr) &&
           put == text.size();
}

long openHandleCount() {
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count) || count == 0) return -1;
    return static_cast<long>(count);
}

std::string testPipeName(const std::string&) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    return "qw-test-" + std::to_string(random()) + "-" + std::to_string(counter++);
}
