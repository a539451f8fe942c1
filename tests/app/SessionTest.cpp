#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>

#include "app/Session.h"
#include "app/session/Message.h"
#include "foundation/Error.h"
#include "support/FakeController.h"
#include "support/MemoryTransport.h"
#include "support/TempDir.h"
#include "support/TestHost.h"

namespace {

const std::vector<uint8_t> kHello = frame(FakeController::kStartedCode, bytesOf("hello"));
const std::vector<uint8_t> kDtr = frame(0x24, {1});
const std::vector<uint8_t> kFailing = frame(FakeController::kFailingCommand);

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<uint8_t> errorReply(void (*set)()) {
    set();
    vek::err::ErrorRef record = vek::err::getLastError();
    return frame(kMsgError, std::vector<uint8_t>(record.data(), record.data() + record.size()));
}

const std::vector<uint8_t> kInvalidParameterReply = errorReply([] { vek::err::setWinError(87); });

Settings settingsFor(uint32_t kind, uint32_t flags = 0) {
    Settings s;
    s.hardwareKind = kHardwareSerial;
    s.transportKind = kind;
    s.flags = flags;
    return s;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t to) {
    return std::vector<uint8_t>(v.begin() + static_cast<ptrdiff_t>(from), v.begin() + static_cast<ptrdiff_t>(to));
}

// One start, one waitAndClose, and a stop when there was a command input.
void expectOneRun(const FakeController& c, bool withCommands = true) {
    EXPECT_EQ(c.starts(), 1);
    EXPECT_EQ(c.stops(), withCommands ? 1 : 0);
    EXPECT_EQ(c.waits(), 1);
}

}  // namespace

TEST(RunSessionWith, SingleFileReadsCommandsAndWritesRepliesIntoTheSameFile) {
    struct Case {
        const char* name;
        bool exists;
        std::vector<uint8_t> before, after;
        size_t commands;
    };
    const Case cases[] = {
        {"commands answered after them", true, concat({kDtr, kFailing}),
         concat({kDtr, kFailing, frame(kMsgDone), kInvalidParameterReply}), 2},
        {"missing file created", false, {}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Settings s = settingsFor(kTransportSingleFile);
        s.inputFileName = dir.path("session.bin");
        if (c.exists) writeFileBytes(s.inputFileName, c.before);
        FakeController controller(&s);
        controller.greet = false;  // it would land on the commands: one file position for both
        EXPECT_TRUE(runSessionWith(s, controller));
        expectOneRun(controller);
        EXPECT_EQ(controller.commands().size(), c.commands);
        EXPECT_TRUE(std::filesystem::exists(s.inputFileName));
        EXPECT_EQ(readFileBytes(s.inputFileName), c.after);
    }
}

TEST(RunSessionWith, OutputOnlyFileTruncatedOrSplit) {
    std::vector<uint8_t> capture(100);
    std::vector<uint8_t> captured;
    for (int i = 0; i < 2; ++i) {
        for (size_t k = 0; k < capture.size(); ++k) capture[k] = static_cast<uint8_t>(i + k);
        auto framed = frame(FakeController::kCaptureCode, capture);
        captured.insert(captured.end(), framed.begin(), framed.end());
    }
    struct Case {
        const char* name;
        uint64_t sizeLimit;
        size_t captureMessages;
        std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    };
    const Case cases[] = {
        {"one file, old contents gone", kNoLimit, 2, {{"out.bin", concat({kHello, captured})}}},
        {"split after every write", 1, 0,
         {{"out-00.bin", slice(kHello, 0, 4)}, {"out-01.bin", bytesOf("hello")}, {"out-02.bin", {}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Settings s = settingsFor(kTransportOutputOnly);
        s.outputFileName = dir.path("out.bin");
        s.outputSplit.sizeLimit = c.sizeLimit;
        writeFileBytes(dir.path(c.files[0].first), bytesOf("old contents"));
        FakeController controller(&s);
        controller.captureMessages = c.captureMessages;
        EXPECT_TRUE(runSessionWith(s, controller));
        expectOneRun(controller, false);
        for (const auto& [name, bytes] : c.files) EXPECT_EQ(readFileBytes(dir.path(name)), bytes) << name;
    }
}

TEST(RunSessionWith, OutputOnlyToStandardOutput) {
    TempDir dir;
    Settings s = settingsFor(kTransportOutputOnly, kFlagStdout);
    FakeController controller(&s);
    {
        StdOutputToFile redirect(dir.path("stdout.bin"));
        ASSERT_TRUE(redirect.ok());
        EXPECT_TRUE(runSessionWith(s, controller));
        EXPECT_TRUE(writeProcessStdout("!"));  // still open
    }
    EXPECT_EQ(readFileBytes(dir.path("stdout.bin")), concat({kHello, bytesOf("!")}));
}

TEST(RunSessionWith, QwlogOutputIsRefusedForNow) {
    TempDir dir;
    Settings s = settingsFor(kTransportOutputOnly, kFlagQwlog);
    s.outputFileName = dir.path("capture.qwlog");
    FakeController controller(&s);
    EXPECT_FALSE(runSessionWith(s, controller));
    EXPECT_EQ(vek::err::getLastErrorDescription(), "*.qwlog output is not available in this build");
    EXPECT_EQ(controller.starts(), 0);
    EXPECT_FALSE(std::filesystem::exists(s.outputFileName));
}

TEST(RunSessionWith, OutputAndCommandFiles) {
    TempDir dir;
    Settings s = settingsFor(kTransportOutputInput);
    s.outputFileName = dir.path("a.bin");
    s.inputFileName = dir.path("b.bin");
    writeFileBytes(s.outputFileName, bytesOf("old contents"));
    writeFileBytes(s.inputFileName, concat({kFailing, kDtr}));
    FakeController controller(&s);
    EXPECT_TRUE(runSessionWith(s, controller));
    expectOneRun(controller);
    EXPECT_EQ(readFileBytes(s.outputFileName), kHello);
    EXPECT_EQ(controller.commands().size(), 2u);
    // Replies go to the command input, opened read-only: the file is unchanged.
    EXPECT_EQ(readFileBytes(s.inputFileName), concat({kFailing, kDtr}));
}

TEST(RunSessionWith, MissingCommandFileFailsBeforeRun) {
    TempDir dir;
    Settings s = settingsFor(kTransportOutputInput);
    s.outputFileName = dir.path("a.bin");
    s.inputFileName = dir.path("b.bin");
    writeFileBytes(s.outputFileName, bytesOf("old contents"));
    FakeController controller(&s);
    EXPECT_FALSE(runSessionWith(s, controller));
    EXPECT_EQ(vek::err::getLastError().code(), 2u);
    EXPECT_EQ(controller.starts(), 0);
    EXPECT_EQ(readFileBytes(s.outputFileName), std::vector<uint8_t>{});  // created and truncated first
}

TEST(RunSessionWith, StandardInputAndOutput) {
    TempDir dir;
    Settings s = settingsFor(kTransportOutputInput, kFlagStdin | kFlagStdout);
    FakeController controller(&s);
    {
        StdOutputToFile output(dir.path("stdout.bin"));
        StdInputFromPipe input;
        ASSERT_TRUE(output.ok() && input.ok());
        ASSERT_TRUE(input.write(concat({kDtr, kFailing})));
        input.closeWriter();
        EXPECT_TRUE(runSessionWith(s, controller));
    }
    expectOneRun(controller);
    EXPECT_EQ(controller.commands(), (std::vector<std::vector<uint8_t>>{kDtr, kFailing}));
    // Replies go to the command input; this one is a read-only pipe, so only
    // the capture output reaches standard output.
    EXPECT_EQ(readFileBytes(dir.path("stdout.bin")), kHello);
}

TEST(RunSessionWith, FailingCaptureEndsACommandLoopBlockedOnStandardInput) {
    TempDir dir;
    Settings s = settingsFor(kTransportOutputInput, kFlagStdin);
    s.outputFileName = dir.path("out.bin");
    FakeController controller(&s);
    controller.failCapture = true;
    StdInputFromPipe input;  // never written, never closed: only the capture thread can end the loop
    ASSERT_TRUE(input.ok());
    auto session = std::async(std::launch::async, [&] { return runSessionWith(s, controller); });
    ASSERT_EQ(session.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(session.get());
    expectOneRun(controller);
    size_t rest = 0;
    std::vector<HostMessage> messages = parseMessages(readFileBytes(s.outputFileName), &rest);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].code, kMsgError);
    EXPECT_EQ(vek::err::getErrorDescription(vek::err::ErrorRef(messages[1].payload.data(), messages[1].payload.size())),
              "capture failed");
}

TEST(RunSessionWith, FailedStartStillStopsAndWaitsOnce) {
    struct Case {
        const char* name;
        uint32_t kind;
    };
    const Case cases[] = {
        {"single file", kTransportSingleFile},
        {"output only", kTransportOutputOnly},
        {"output and input", kTransportOutputInput},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Settings s = settingsFor(c.kind);
        s.inputFileName = dir.path("in.bin");
        s.outputFileName = dir.path("out.bin");
        writeFileBytes(s.inputFileName, kDtr);
        FakeController controller(&s);
        controller.startError = "device absent";
        EXPECT_FALSE(runSessionWith(s, controller));
        EXPECT_EQ(vek::err::getLastErrorDescription(), "device absent");
        expectOneRun(controller);
        EXPECT_TRUE(controller.commands().empty());
    }
}

TEST(RunSession, UnknownTransportOrHardwareOpensNothing) {
    for (uint32_t kind : {uint32_t{kTransportNone}, uint32_t{6}, uint32_t{99}}) {
        SCOPED_TRACE(kind);
        Settings s = settingsFor(kind);
        FakeController controller(&s);
        EXPECT_FALSE(runSessionWith(s, controller));
        EXPECT_EQ(vek::err::getLastErrorDescription(), "unknown transport");
        EXPECT_EQ(controller.starts(), 0);
    }
    for (uint32_t hardware : {uint32_t{kHardwareNone}, uint32_t{7}, uint32_t{99}}) {
        SCOPED_TRACE(hardware);
        TempDir dir;
        Settings s = settingsFor(kTransportOutputOnly);
        s.hardwareKind = hardware;
        s.outputFileName = dir.path("out.bin");
        EXPECT_FALSE(runSession(s));
        EXPECT_EQ(vek::err::getLastErrorDescription(), "unknown hardware");
        EXPECT_FALSE(std::filesystem::exists(s.outputFileName));
    }
}

namespace {

class ServerSession : public testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(ServerSession, EachClientGetsTheSameControllerStartedAfresh) {
    TempDir dir;
    bool tcp = GetParam() == "tcp";
    Settings s = settingsFor(tcp ? kTransportTcpServer : kTransportPipeServer);
    s.inputFileName = testPipeName(dir.root().string());
    FakeController controller(&s);

    std::promise<StreamServer*> listening;
    std::future<StreamServer*> listeningFuture = listening.get_future();
    auto session = std::async(std::launch::async, [&] {
        return runSessionWith(s, controller, [&](StreamServer& server) { listening.set_value(&server); });
    });
    ASSERT_EQ(listeningFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    StreamServer* server = listeningFuture.get();
    auto connect = [&] {
        return tcp ? TestClient::connectTcp(static_cast<TcpServer*>(server)->port())
                   : TestClient::connectPipe(static_cast<PipeServer*>(server)->address());
    };

    for (int client = 0; client < 2; ++client) {
        SCOPED_TRACE(client);
        auto host = connect();
        ASSERT_TRUE(host);
        EXPECT_EQ(host->receive(kHello.size()), kHello);
        ASSERT_TRUE(host->send(concat({kDtr, kFailing})));
        std::vector<uint8_t> replies = concat({frame(kMsgDone), kInvalidParameterReply});
        EXPECT_EQ(host->receive(replies.size()), replies);
    }
    server->stop();  // takes effect once the last client's session has ended
    ASSERT_EQ(session.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(session.get());
    EXPECT_EQ(controller.starts(), 2);
    EXPECT_EQ(controller.stops(), 2);
    EXPECT_EQ(controller.waits(), 2);
    EXPECT_EQ(controller.commands().size(), 4u);
}

TEST_P(ServerSession, FailingCaptureEndsTheClientsSession) {
    TempDir dir;
    bool tcp = GetParam() == "tcp";
    Settings s = settingsFor(tcp ? kTransportTcpServer : kTransportPipeServer);
    s.inputFileName = testPipeName(dir.root().string());
    FakeController controller(&s);
    controller.captureMessages = 50;
    controller.failCapture = true;

    std::promise<StreamServer*> listening;
    std::future<StreamServer*> listeningFuture = listening.get_future();
    auto session = std::async(std::launch::async, [&] {
        return runSessionWith(s, controller, [&](StreamServer& server) { listening.set_value(&server); });
    });
    ASSERT_EQ(listeningFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    StreamServer* server = listeningFuture.get();
    auto host = tcp ? TestClient::connectTcp(static_cast<TcpServer*>(server)->port())
                    : TestClient::connectPipe(static_cast<PipeServer*>(server)->address());
    ASSERT_TRUE(host);
    // Hello, 50 capture messages and the error, whole, then the server hangs up.
    std::vector<uint8_t> stream = host->receive(kHello.size() + 50 * 104 + 4 + 24 + 15);
    EXPECT_TRUE(host->waitClosed());
    size_t rest = 0;
    std::vector<HostMessage> messages = parseMessages(stream, &rest);
    EXPECT_EQ(rest, 0u);
    ASSERT_EQ(messages.size(), 52u);
    EXPECT_EQ(messages.back().code, kMsgError);
    server->stop();
    ASSERT_EQ(session.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(controller.waits(), 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ServerSession, testing::Values("tcp", "pipe"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });
