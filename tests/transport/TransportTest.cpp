#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "foundation/Error.h"
#include "support/TempDir.h"
#include "support/TestHost.h"
#include "transport/FileTransport.h"
#include "transport/OutputFileSplitter.h"
#include "transport/Server.h"

namespace {

constexpr uint64_t kMinute = 60 * vek::sys::kTicksPerSecond;
uint64_t fakeNow = 0;
uint64_t fakeClock() { return fakeNow; }

// Starts a read of `t` on another thread and closes `t` while the read waits;
// true when the read returns 0 within a second of the close.
bool closeWakesRead(TransportBase& t) {
    auto reading = std::make_shared<std::promise<void>>();
    auto result = std::make_shared<std::promise<size_t>>();
    std::future<void> started = reading->get_future();
    std::future<size_t> finished = result->get_future();
    std::thread([&t, reading, result] {
        reading->set_value();
        unsigned char buffer[64];
        result->set_value(t.read(buffer, sizeof buffer));
    }).detach();  // a read that never returns fails the test without hanging it
    started.wait();
    // No event says "blocked inside read"; a short head start makes the close
    // land during the wait. Were it to come first, the read must still return 0.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t.close();
    return finished.wait_for(std::chrono::seconds(1)) == std::future_status::ready && finished.get() == 0;
}

// A server on a fresh TCP port or pipe name, and a client that connected before
// the server waited for one.
struct Served {
    std::unique_ptr<StreamServer> server;
    std::unique_ptr<vek::io::Stream> client;
    std::function<bool()> openAnother;  // a second server on the same address
};

Served serve(const std::string& kind) {
    Served s;
    if (kind == "tcp") {
        auto tcp = std::make_unique<TcpServer>();
        if (!tcp->open(0)) return s;
        s.client = connectTcp(tcp->port());
        s.openAnother = [port = tcp->port()] { return TcpServer().open(port); };
        s.server = std::move(tcp);
    } else {
        auto pipe = std::make_unique<PipeServer>();
        if (!pipe->open(uniqueName())) return s;
        s.client = connectPipe(pipe->address());
        s.openAnother = [address = pipe->address()] { return PipeServer().open(address); };
        s.server = std::move(pipe);
    }
    return s;
}

class ServerTest : public testing::TestWithParam<std::string> {};

}  // namespace

TEST(FileTransport, StandardInputRefusesWritesAtOnceAndCloseWakesItsReader) {
    StdInputFromPipe input;
    ASSERT_TRUE(input.ok());
    FileTransport t;
    ASSERT_TRUE(t.attachStd(vek::io::StdStream::kInput));
    // Command replies go back to the command input; when that is a read-only
    // pipe they must be dropped, not wait for the host to close its end.
    auto reply = std::async(std::launch::async, [&] { return t.write("\x02\x00\x00\x00", 4); });
    bool prompt = reply.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!prompt) input.closeWriter();  // lets a stuck write go before failing
    ASSERT_TRUE(prompt);
    EXPECT_EQ(reply.get(), kIoFailed);
    uint8_t buffer[8];
    ASSERT_TRUE(input.write(bytesOf("cmd")));
    EXPECT_EQ(t.read(buffer, sizeof buffer), 3u);  // reading still works

    EXPECT_TRUE(closeWakesRead(t));
    // Bytes that come later are not read through the closed transport.
    ASSERT_TRUE(input.write(bytesOf("late")));
    EXPECT_EQ(t.read(buffer, sizeof buffer), 0u);
}

TEST(OutputFileSplitter, NamesTheSeries) {
    const std::pair<std::string, std::string> cases[] = {
        {"capture.log", "capture-01.log"},    {"capture.tar.gz", "capture-01.tar.gz"},
        {"dir.d/capture", "dir.d/capture-01"}, {"C:\\out.d\\cap", "C:\\out.d\\cap-01"},
        {".hidden", "-01.hidden"},            {"name", "name-01"},
    };
    for (const auto& [name, second] : cases) {
        OutputFileSplitter s;
        s.init(1, kNoSplit, name);
        EXPECT_TRUE(s.onWritten(1)) << name;
        EXPECT_EQ(s.fileName(), second);
    }
    OutputFileSplitter s;
    s.init(10, kNoSplit, "capture.log");
    EXPECT_EQ(s.fileName(), "capture-00.log");
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(s.onWritten(10));
    EXPECT_EQ(s.fileName(), "capture-100.log");
}

TEST(OutputFileSplitter, TimeLimitCountsFromEachFilesStart) {
    fakeNow = 1000 * kMinute;
    OutputFileSplitter s(&fakeClock), huge(&fakeClock);
    s.init(kNoSplit, 30 * kMinute, "cap.bin");
    huge.init(kNoSplit, kNoSplit - 1, "cap.bin");  // the deadline must not wrap into the past
    const std::pair<uint64_t, bool> steps[] = {  // minutes after the first file began, split
        {10, false}, {29, false}, {30, true},    // file 01 begins at 30
        {59, false}, {60, true},                 // file 02 at 60
        {200, true},                             // one split however long the pause
        {201, false},
    };
    for (auto [at, split] : steps) {
        fakeNow = 1000 * kMinute + at * kMinute;
        EXPECT_EQ(s.onWritten(1), split) << "at minute " << at;
        EXPECT_FALSE(huge.onWritten(1));
    }
    EXPECT_EQ(s.index(), 3u);
}

TEST(FileTransportSplit, SizeSeriesInRealFilesUntilOneCannotBeOpened) {
    TempDir dir;
    writeFileBytes(dir.path("cap-01.bin"), std::vector<uint8_t>(2000, 'x'));  // truncated when its turn comes
    std::filesystem::create_directory(dir.path("cap-03.bin"));                // cannot be opened as a file
    FileTransport t;
    ASSERT_TRUE(t.openSplitOutput(dir.path("cap.bin"), 1000, kNoSplit));
    std::vector<uint8_t> all, joined;
    for (int i = 0; i < 6; ++i) {
        std::vector<uint8_t> block(600, static_cast<uint8_t>('a' + i));
        // The sixth write fills cap-02.bin, then cap-03.bin fails to open.
        EXPECT_EQ(t.write(block.data(), block.size()), i < 5 ? block.size() : kIoFailed) << i;
        all.insert(all.end(), block.begin(), block.end());
    }
    EXPECT_EQ(t.write("x", 1), kIoFailed);
    t.close();
    for (const char* name : {"cap-00.bin", "cap-01.bin", "cap-02.bin"}) {
        std::vector<uint8_t> bytes = readFileBytes(dir.path(name));
        EXPECT_EQ(bytes.size(), 1200u) << name;
        joined.insert(joined.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(joined, all);
    EXPECT_FALSE(std::filesystem::exists(dir.path("cap.bin")));
}

TEST_P(ServerTest, RefusesASecondServerServesAnEarlyClientAndCloseWakesAReadBlockedOnTheConnection) {
    Served s = serve(GetParam());
    ASSERT_TRUE(s.server && s.client) << vek::err::getLastErrorDescription();
    EXPECT_FALSE(s.openAnother());
    EXPECT_NE(vek::err::getLastError().code(), 0u);
    bool woke = false;
    std::thread serving([&] { s.server->serve([&](TransportBase& t) { return woke = closeWakesRead(t); }); });
    EXPECT_TRUE(waitClosed(*s.client));  // the server closes the connection after the session
    s.server->stop();
    serving.join();
    EXPECT_TRUE(woke);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ServerTest, testing::Values("tcp", "pipe"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(TcpServer, RefusesAPortAbove65535) {
    EXPECT_FALSE(TcpServer().open(70000));
    EXPECT_EQ(vek::err::getLastErrorDescription(), "TCP port 70000 is out of range");
}
