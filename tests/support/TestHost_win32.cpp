#include <chrono>
#include <thread>

#include "foundation/OverlappedStream_win32.h"
#include "foundation/Win32.h"
#include "support/TestHost.h"

namespace {

HANDLE toHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
intptr_t fromHandle(HANDLE h) { return reinterpret_cast<intptr_t>(h); }

}  // namespace

std::unique_ptr<vek::io::Stream> connectTcp(uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (s == INVALID_SOCKET) return nullptr;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return closesocket(s), nullptr;
    return vek::io::makeOverlappedStream(reinterpret_cast<HANDLE>(s), vek::io::OverlappedKind::kSocket);
}

std::unique_ptr<vek::io::Stream> connectPipe(const std::string& address) {
    std::wstring name = vek::win::widen(address);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (h != INVALID_HANDLE_VALUE) return vek::io::makeOverlappedStream(h, vek::io::OverlappedKind::kPipe);
        DWORD code = GetLastError();
        if (std::chrono::steady_clock::now() > deadline || (code != ERROR_PIPE_BUSY && code != ERROR_FILE_NOT_FOUND))
            return nullptr;
        if (code == ERROR_PIPE_BUSY)
            WaitNamedPipeW(name.c_str(), 1000);
        else  // between two instances of the server
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
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
    return WriteFile(toHandle(writer_), bytes.data(), DWORD(bytes.size()), &put, nullptr) && put == bytes.size();
}

void StdInputFromPipe::closeWriter() {
    if (writer_ != -1) CloseHandle(toHandle(writer_));
    writer_ = -1;
}

long openHandleCount() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0 ? long(count) : -1;
}
