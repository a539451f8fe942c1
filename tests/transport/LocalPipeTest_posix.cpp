#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "foundation/Error.h"
#include "foundation/FdStream_posix.h"
#include "foundation/File.h"
#include "foundation/LocalPipe.h"
#include "support/TempDir.h"
#include "support/TestHost.h"
#include "transport/Server.h"

namespace {

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// SIGPIPE as a process gets it by default: a write that raises it kills the test.
class DefaultSigpipe {
public:
    DefaultSigpipe() { old_ = ::signal(SIGPIPE, SIG_DFL); }
    ~DefaultSigpipe() { ::signal(SIGPIPE, old_); }

private:
    sighandler_t old_;
};

// A socket file left behind by a server that died.
void leaveStaleSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

// Writes a block at a time until the stream fails (or 200 blocks went through).
size_t writeUntilFailure(vek::io::Stream& stream) {
    std::vector<uint8_t> block(65536, 0x55);
    size_t result = 0;
    for (int i = 0; i < 200 && result != vek::io::kStreamFailed; ++i) result = stream.write(block.data(), block.size());
    return result;
}

}  // namespace

TEST(LocalPipeAddress, SocketPathRule) {
    struct Case {
        const char* name;
        std::optional<std::string> runtimeDir;
        std::string expected;
    };
    const Case cases[] = {
        {"capture", "/run/user/1000", "/run/user/1000/capture"},
        {"capture", "/run/user/1000/", "/run/user/1000/capture"},
        {"capture", std::nullopt, "/tmp/capture"},
        {"capture", "", "/tmp/capture"},
        {"\\\\.\\pipe\\capture", "/run/q", "/run/q/capture"},
        {"\\\\.\\pipe\\", "/run/q", ""},
        {"Dir/Capture", "/run/q", "Dir/Capture"},
        {"/var/Run/cap", std::nullopt, "/var/Run/cap"},
        {"a\\b", std::nullopt, "/tmp/a\\b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv env("XDG_RUNTIME_DIR", c.runtimeDir);
        EXPECT_EQ(vek::io::localPipeAddress(c.name), c.expected);
    }
}

TEST(LocalPipeListener, SocketFileRules) {
    TempDir dir;
    std::string path = dir.path("pipe");
    {
        leaveStaleSocket(path);
        PipeServer server;
        ASSERT_TRUE(server.open(path)) << vek::err::getLastErrorDescription();
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        PipeServer second;
        EXPECT_FALSE(second.open(path));
        EXPECT_EQ(vek::err::getLastError().guid(), vek::err::kErrnoDomain);
        EXPECT_EQ(vek::err::getLastError().code(), static_cast<uint32_t>(EADDRINUSE));
        EXPECT_TRUE(TestClient::connectPipe(path));  // the first one still listens
    }
    EXPECT_FALSE(std::filesystem::exists(path));  // removed with its server
    {
        PipeServer server;
        ASSERT_TRUE(server.open(path));
        ::unlink(path.c_str());
        writeFileBytes(path, bytesOf("someone else's"));
    }
    EXPECT_EQ(readFileBytes(path), bytesOf("someone else's"));  // not ours any more: left alone
    ::unlink(path.c_str());

    struct Case {
        const char* name;
        std::string path;
        uint32_t error;
    };
    std::string regular = dir.path("regular");
    writeFileBytes(regular, bytesOf("keep me"));
    const Case failures[] = {
        {"not a socket", regular, EADDRINUSE},
        {"path too long", dir.path(std::string(120, 'x')), ENAMETOOLONG},
        {"no such folder", dir.path("missing/pipe"), ENOENT},
    };
    for (const Case& c : failures) {
        SCOPED_TRACE(c.name);
        PipeServer server;
        EXPECT_FALSE(server.open(c.path));
        EXPECT_EQ(vek::err::getLastError().code(), c.error);
    }
    EXPECT_EQ(readFileBytes(regular), bytesOf("keep me"));

    PipeServer prefixOnly;
    EXPECT_FALSE(prefixOnly.open("\\\\.\\pipe\\"));
    EXPECT_EQ(vek::err::getLastErrorDescription(), "invalid pipe name \"\\\\.\\pipe\\\"");
}

TEST(PosixStreams, APeerThatHasGoneIsAnErrorNotASignal) {
    DefaultSigpipe sigpipe;
    TempDir dir;

    // Local socket.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    auto local = vek::io::makeFdStream(vek::io::Fd(pair[0]));
    ::close(pair[1]);
    EXPECT_EQ(writeUntilFailure(*local), vek::io::kStreamFailed);
    EXPECT_EQ(vek::err::getLastError().code(), static_cast<uint32_t>(EPIPE));

    // A FIFO whose reader has gone, opened by name.
    std::string fifo = dir.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto writer = vek::io::openFile(fifo, vek::io::FileMode::kOutputWriteOnly);
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->write("ab", 2), 2u);
    ::close(reader);
    EXPECT_EQ(writeUntilFailure(*writer), vek::io::kStreamFailed);
    EXPECT_EQ(vek::err::getLastError().code(), static_cast<uint32_t>(EPIPE));

    // Nothing was left pending for later either.
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}
