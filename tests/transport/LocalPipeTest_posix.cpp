#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <future>
#include <thread>
#include <optional>

#include "foundation/Error.h"
#include "foundation/FdStream_posix.h"
#include "foundation/File.h"
#include "foundation/LocalPipe.h"
#include "support/TempDir.h"
#include "support/TestHost.h"
#include "transport/Server.h"

TEST(LocalPipeAddress, SocketPathRule) {
    const std::tuple<const char*, const char*, std::string> cases[] = {  // name, XDG_RUNTIME_DIR, address
        {"capture", "/run/user/1000", "/run/user/1000/capture"}, {"capture", nullptr, "/tmp/capture"},
        {"capture", "", "/tmp/capture"}, {"\\\\.\\pipe\\capture", "/run/q", "/run/q/capture"},
        {"\\\\.\\pipe\\", "/run/q", ""}, {"Dir/Capture", "/run/q", "Dir/Capture"},
    };
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    std::optional<std::string> old = saved ? std::optional<std::string>(saved) : std::nullopt;
    for (const auto& [name, runtimeDir, expected] : cases) {
        runtimeDir ? ::setenv("XDG_RUNTIME_DIR", runtimeDir, 1) : ::unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(vek::io::localPipeAddress(name), expected) << name << " in " << (runtimeDir ? runtimeDir : "(unset)");
    }
    old ? ::setenv("XDG_RUNTIME_DIR", old->c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(LocalPipeListener, SocketFileRules) {
    TempDir dir;
    std::string path = dir.path("pipe");
    sockaddr_un address{AF_UNIX, {}};
    std::memcpy(address.sun_path, path.data(), path.size());
    auto socketAddress = reinterpret_cast<sockaddr*>(&address);
    {
        // A socket file left behind by a server that died is replaced; a live one is not.
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::bind(fd, socketAddress, sizeof address), 0);
        ::close(fd);
        PipeServer server, second;
        ASSERT_TRUE(server.open(path)) << vek::err::getLastErrorDescription();
        struct stat st {};
        EXPECT_TRUE(::lstat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
        // The live server is idle: any probe connection would become a session.
        std::atomic<int> sessions{0};
        auto serving = std::async(std::launch::async, [&] { return server.serve([&](TransportBase&) { return ++sessions, true; }); });
        auto refuse = [&] {
            auto refused = std::async(std::launch::async, [&] {
                bool opened = second.open(path);
                return std::make_pair(opened, vek::err::getLastErrorMessage());
            });
            // A blocking probe would hang here on the full backlog below.
            ASSERT_EQ(refused.wait_for(std::chrono::seconds(5)), std::future_status::ready);
            EXPECT_EQ(refused.get(),
                      std::make_pair(false, "pipe server " + path + " is in use by another program: Address already in use"));
        };
        refuse();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        server.stop();
        EXPECT_TRUE(serving.get());
        EXPECT_EQ(sessions.load(), 0);
        // Now it accepts nobody, and its backlog fills up.
        std::vector<vek::io::Fd> waiting;
        for (int i = 0; i < 64; ++i) {
            vek::io::Fd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
            if (::connect(client.get(), socketAddress, sizeof address) != 0) break;
            waiting.push_back(std::move(client));
        }
        refuse();
        EXPECT_TRUE(std::filesystem::exists(path + ".lock"));
    }
    // Socket and lock file go with their server.
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(std::filesystem::exists(path + ".lock"));
    {
        PipeServer server;
        ASSERT_TRUE(server.open(path));
        ::unlink(path.c_str());
        writeFileBytes(path, bytesOf("someone else's"));
    }
    // Not ours any more: left alone; and a file that is not a socket is refused, and kept.
    EXPECT_FALSE(PipeServer().open(path));
    EXPECT_EQ(vek::err::getLastErrorMessage(),
              "pipe server path " + path + " exists and is not a socket: Address already in use");
    EXPECT_EQ(readFileBytes(path), bytesOf("someone else's"));
    EXPECT_FALSE(PipeServer().open(dir.path(std::string(120, 'x'))));  // too long for a socket address
    EXPECT_EQ(vek::err::getLastError().code(), uint32_t(ENAMETOOLONG));
}

TEST(PosixStreams, APeerThatHasGoneIsAnErrorNotASignal) {
    struct DefaultSigpipe {  // as a process gets it: a write that raises it kills the test
        sighandler_t old = ::signal(SIGPIPE, SIG_DFL);
        ~DefaultSigpipe() { ::signal(SIGPIPE, old); }
    } sigpipe;
    auto writeUntilFailure = [](vek::io::Stream& stream) {
        std::vector<uint8_t> block(65536, 0x55);
        size_t result = 0;
        for (int i = 0; i < 200 && result != vek::io::kStreamFailed; ++i)
            result = stream.write(block.data(), block.size());
        EXPECT_EQ(result, vek::io::kStreamFailed);
        EXPECT_EQ(vek::err::getLastError().code(), uint32_t(EPIPE));
    };
    int pair[2];  // a local socket
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    auto local = vek::io::makeFdStream(vek::io::Fd(pair[0]));
    ::close(pair[1]);
    writeUntilFailure(*local);

    TempDir dir;  // a FIFO whose reader has gone, opened by name
    std::string fifo = dir.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    auto writer = vek::io::openFile(fifo, vek::io::FileMode::kOutputWriteOnly);
    ASSERT_TRUE(reader >= 0 && writer && writer->write("ab", 2) == 2);
    ::close(reader);
    writeUntilFailure(*writer);

    sigset_t pending;  // nothing was left pending for later either
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}
