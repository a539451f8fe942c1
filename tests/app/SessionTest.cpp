#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <optional>

#include "app/Session.h"
#include "app/session/Message.h"
#include "foundation/Error.h"
#include "support/FakeController.h"
#include "support/MemoryTransport.h"
#include "support/TempDir.h"
#include "support/TestHost.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Bytes kHello = frame(FakeController::kStartedCode, bytesOf("hello"));
const Bytes kDtr = frame(0x24, {1});
const Bytes kFailing = frame(FakeController::kFailingCommand);
const Bytes kInvalidParameterReply = [] {
    vek::err::setWinError(87);
    vek::err::ErrorRef record = vek::err::getLastError();
    return frame(kMsgError, Bytes(record.data(), record.data() + record.size()));
}();

Settings settingsFor(uint32_t kind, uint32_t flags = 0) {
    Settings s;
    s.hardwareKind = kHardwareSerial;
    s.transportKind = kind;
    s.flags = flags;
    return s;
}

}  // namespace

TEST(RunSessionWith, FileTransportsByKind) {
    struct Case {
        const char* name;
        uint32_t kind, flags;
        std::optional<Bytes> in, out;  // in.bin and out.bin before the session
        uint64_t sizeLimit;
        const char* startError;
        bool ok;
        const char* error;  // description of the last error, when not null
        int starts, stops;  // waitAndClose follows every start
        std::vector<std::pair<const char*, std::optional<Bytes>>> after;  // nullopt: must not exist
    };
    const Bytes old = bytesOf("old contents");
    const Case cases[] = {
        // One handle both ways: commands from the start, replies after them (the
        // controller writes nothing at start here, see greet below).
        {"single file", kTransportSingleFile, 0, concat({kDtr, kFailing}), {}, kNoLimit, nullptr, true, nullptr, 1, 1,
         {{"in.bin", concat({kDtr, kFailing, frame(kMsgDone), kInvalidParameterReply})}}},
        {"single file created", kTransportSingleFile, 0, {}, {}, kNoLimit, nullptr, true, nullptr, 1, 1,
         {{"in.bin", Bytes{}}}},
        {"output file truncated", kTransportOutputOnly, 0, {}, old, kNoLimit, nullptr, true, nullptr, 1, 0,
         {{"out.bin", kHello}}},
        {"output split after each write", kTransportOutputOnly, 0, {}, {}, 1, nullptr, true, nullptr, 1, 0,
         {{"out.bin", std::nullopt}, {"out-00.bin", Bytes(kHello.begin(), kHello.begin() + 4)},
          {"out-01.bin", bytesOf("hello")}, {"out-02.bin", Bytes{}}}},
        {"qwlog not built", kTransportOutputOnly, kFlagQwlog, {}, {}, kNoLimit, nullptr, false,
         "*.qwlog output is not available in this build", 0, 0, {{"out.bin", std::nullopt}}},
        // Replies go to the command input, here read-only: they are lost.
        {"output and command files", kTransportOutputInput, 0, concat({kFailing, kDtr}), old, kNoLimit, nullptr, true,
         nullptr, 1, 1, {{"out.bin", kHello}, {"in.bin", concat({kFailing, kDtr})}}},
        {"missing command file", kTransportOutputInput, 0, {}, old, kNoLimit, nullptr, false, nullptr, 0, 0,
         {{"out.bin", Bytes{}}, {"in.bin", std::nullopt}}},
        {"start fails, single file", kTransportSingleFile, 0, kDtr, {}, kNoLimit, "device absent", false,
         "device absent", 1, 1, {}},
        {"start fails, output only", kTransportOutputOnly, 0, {}, {}, kNoLimit, "device absent", false,
         "device absent", 1, 1, {}},
        {"start fails, output and input", kTransportOutputInput, 0, kDtr, {}, kNoLimit, "device absent", false,
         "device absent", 1, 1, {}},
        {"no transport kind", kTransportNone, 0, kDtr, {}, kNoLimit, nullptr, false, "unknown transport", 0, 0, {}},
        {"unknown transport kind", 6, 0, kDtr, {}, kNoLimit, nullptr, false, "unknown transport", 0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Settings s = settingsFor(c.kind, c.flags);
        s.inputFileName = dir.path("in.bin");
        s.outputFileName = dir.path("out.bin");
        s.outputSplit.sizeLimit = c.sizeLimit;
        if (c.in) writeFileBytes(s.inputFileName, *c.in);
        if (c.out) writeFileBytes(dir.path(c.sizeLimit == kNoLimit ? "out.bin" : "out-00.bin"), *c.out);
        FakeController controller(&s);
        if (c.startError) controller.startError = c.startError;
        controller.greet = c.kind != kTransportSingleFile;  // a greeting would land on the commands

        EXPECT_EQ(runSessionWith(s, controller), c.ok);
        if (c.error) {
            EXPECT_EQ(vek::err::getLastErrorDescription(), c.error);
        } else if (!c.ok) {
            EXPECT_EQ(vek::err::getLastError().code(), 2u);  // not found, on either platform
        }
        EXPECT_EQ(controller.starts(), c.starts);
        EXPECT_EQ(controller.stops(), c.stops);
        EXPECT_EQ(controller.waits(), c.starts);
        for (const auto& [name, bytes] : c.after) {
            EXPECT_EQ(std::filesystem::exists(dir.path(name)), bytes.has_value()) << name;
            if (bytes) {
                EXPECT_EQ(readFileBytes(dir.path(name)), *bytes) << name;
            }
        }
    }
}

TEST(RunSessionWith, StandardInputAndOutput) {
    struct Case {
        const char* name;
        uint32_t kind, flags;
        size_t commands;
    };
    const Case cases[] = {
        {"output only", kTransportOutputOnly, kFlagStdout, 0},
        // Replies go to the command input, a read-only pipe here.
        {"commands from standard input", kTransportOutputInput, kFlagStdout | kFlagStdin, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Settings s = settingsFor(c.kind, c.flags);
        FakeController controller(&s);
        {
            StdOutputToFile output(dir.path("stdout.bin"));
            StdInputFromPipe input;
            ASSERT_TRUE(output.ok() && input.ok());
            ASSERT_TRUE(input.write(concat({kDtr, kFailing})));
            input.closeWriter();  // the end of input ends the session with success
            EXPECT_TRUE(runSessionWith(s, controller));
            EXPECT_TRUE(writeProcessStdout("!"));  // the process's own handle is still open
        }
        EXPECT_EQ(controller.commands().size(), c.commands);
        EXPECT_EQ(readFileBytes(dir.path("stdout.bin")), concat({kHello, bytesOf("!")}));
    }
}

TEST(RunSessionWith, FailingCaptureEndsACommandLoopBlockedOnStandardInput) {
    TempDir dir;
    Settings s = settingsFor(kTransportOutputInput, kFlagStdin);
    s.outputFileName = dir.path("out.bin");
    FakeController controller(&s);
    controller.failCapture = true;
    StdInputFromPipe input;  // never written, never closed: only the capture thread can end the loop
    ASSERT_TRUE(input.ok());
    auto session = std::async(std::launch::async, [&] {
        return runSessionWith(s, controller) ? std::string("success") : vek::err::getLastErrorDescription();
    });
    ASSERT_EQ(session.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // The failed capture, not the ended input, decides the result.
    EXPECT_EQ(session.get(), "capture failed");
    EXPECT_EQ(controller.stops(), 1);
    std::vector<HostMessage> messages = parseMessages(readFileBytes(s.outputFileName));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(vek::err::getErrorDescription(vek::err::ErrorRef(messages[1].payload.data(), messages[1].payload.size())),
              "capture failed");
}

TEST(RunSessionWith, CaptureFailureWithoutCommandInputFailsTheSession) {
    // A capture that ends by itself succeeds; one that ends on a failure reports it.
    for (bool fail : {false, true}) {
        TempDir dir;
        Settings s = settingsFor(kTransportOutputOnly);
        s.outputFileName = dir.path("out.bin");
        FakeController controller(&s);
        controller.captureMessages = 3;
        controller.failCapture = fail;
        EXPECT_EQ(runSessionWith(s, controller), !fail);
        if (fail) {
            EXPECT_EQ(vek::err::getLastErrorDescription(), "capture failed");
        }
        // A later session on the same controller starts clean.
        controller.failCapture = false;
        EXPECT_TRUE(runSessionWith(s, controller));
        EXPECT_EQ(controller.starts(), 2);
    }
}

TEST(RunSession, UnknownHardwareOpensNothing) {
    for (uint32_t hardware : {uint32_t{kHardwareNone}, uint32_t{7}}) {
        TempDir dir;
        Settings s = settingsFor(kTransportOutputOnly);
        s.hardwareKind = hardware;
        s.outputFileName = dir.path("out.bin");
        EXPECT_FALSE(runSession(s));
        EXPECT_EQ(vek::err::getLastErrorDescription(), "unknown hardware");
        EXPECT_FALSE(std::filesystem::exists(s.outputFileName));
    }
}

class ServerSession : public testing::TestWithParam<std::string> {};

TEST_P(ServerSession, EachClientGetsTheSameControllerStartedAfresh) {
    TempDir dir;
    bool tcp = GetParam() == "tcp";
    Settings s = settingsFor(tcp ? kTransportTcpServer : kTransportPipeServer);
    s.inputFileName = testPipeName(dir.root().string());
    FakeController controller(&s);

    std::promise<StreamServer*> listening;
    std::future<StreamServer*> server = listening.get_future();
    auto session = std::async(std::launch::async, [&] {
        return runSessionWith(s, controller, [&](StreamServer& it) { listening.set_value(&it); });
    });
    ASSERT_EQ(server.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    StreamServer* running = server.get();
    for (int client = 0; client < 2; ++client) {
        SCOPED_TRACE(client);
        auto host = tcp ? TestClient::connectTcp(static_cast<TcpServer*>(running)->port())
                        : TestClient::connectPipe(static_cast<PipeServer*>(running)->address());
        ASSERT_TRUE(host);
        EXPECT_EQ(host->receive(kHello.size()), kHello);
        ASSERT_TRUE(host->send(concat({kDtr, kFailing})));
        Bytes replies = concat({frame(kMsgDone), kInvalidParameterReply});
        EXPECT_EQ(host->receive(replies.size()), replies);
    }
    running->stop();  // takes effect once the last client's session has ended
    ASSERT_EQ(session.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(session.get());
    EXPECT_EQ(controller.starts(), 2);
    EXPECT_EQ(controller.stops(), 2);
    EXPECT_EQ(controller.waits(), 2);
    EXPECT_EQ(controller.commands().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ServerSession, testing::Values("tcp", "pipe"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });
