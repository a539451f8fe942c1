#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <optional>
#include <thread>

#include "app/Session.h"
#include "session/Message.h"
#include "foundation/Error.h"
#include "foundation/File.h"
#include "support/FakeController.h"
#include "support/MemoryTransport.h"
#include "support/TempDir.h"
#include "support/TestHost.h"

namespace {

const Bytes kHello = frame(FakeController::kStartedCode, bytesOf("hello"));
const Bytes kCommands = cat({frame(0x24, {1}), frame(FakeController::kFailingCommand)});
const Bytes kReplies = cat({frame(kMsgDone), (vek::err::setWinError(87), lastErrorMessage())});

Settings settingsFor(uint32_t kind, uint32_t flags = 0) {
    Settings s;  // no hardware: the tests bring the controller
    s.transportKind = kind;
    s.flags = flags;
    return s;
}

}  // namespace

TEST(RunSessionWith, FileTransportsByKind) {
    struct Case {
        const char* name;
        uint32_t kind;
        std::optional<Bytes> in, out;  // in.bin and out.bin (out-00.bin when split) before the session
        uint64_t sizeLimit;
        const char* startError;
        const char* error;  // null: succeeds; "": fails with "not found" (2 on either platform); else the description
        int starts, stops;  // waitAndClose follows every start
        std::vector<std::pair<const char*, std::optional<Bytes>>> after;  // nullopt: must not exist
    };
    const Bytes old = bytesOf("old contents");
    const Case cases[] = {
        // One handle both ways: commands from the start, replies after them (the
        // controller writes nothing at start here, see greet below).
        {"single file", kTransportSingleFile, kCommands, {}, kNoLimit, nullptr, nullptr, 1, 1,
         {{"in.bin", cat({kCommands, kReplies})}}},
        {"single file created", kTransportSingleFile, {}, {}, kNoLimit, nullptr, nullptr, 1, 1, {{"in.bin", Bytes{}}}},
        {"output file truncated", kTransportOutputOnly, {}, old, kNoLimit, nullptr, nullptr, 1, 0, {{"out.bin", kHello}}},
        // A split falls between messages only: each file can be read alone.
        {"output split after each message, first file truncated", kTransportOutputOnly, {}, old, 1, nullptr, nullptr,
         1, 0, {{"out.bin", std::nullopt}, {"out-00.bin", kHello}, {"out-01.bin", Bytes{}}, {"out-02.bin", std::nullopt}}},
        // Replies go to the command input, here read-only: they are lost.
        {"output and command files", kTransportOutputInput, kCommands, old, kNoLimit, nullptr, nullptr, 1, 1,
         {{"out.bin", kHello}, {"in.bin", kCommands}}},
        {"missing command file", kTransportOutputInput, {}, old, kNoLimit, nullptr, "", 0, 0,
         {{"out.bin", Bytes{}}, {"in.bin", std::nullopt}}},
        {"start fails", kTransportOutputInput, kCommands, {}, kNoLimit, "device absent", "device absent", 1, 1, {}},
        {"no transport kind", kTransportNone, kCommands, {}, kNoLimit, nullptr, "unknown transport", 0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Settings s = settingsFor(c.kind);
        s.inputFileName = dir.path("in.bin");
        s.outputFileName = dir.path("out.bin");
        s.outputSplit.sizeLimit = c.sizeLimit;
        if (c.in) writeFileBytes(s.inputFileName, *c.in);
        if (c.out) writeFileBytes(dir.path(c.sizeLimit == kNoLimit ? "out.bin" : "out-00.bin"), *c.out);
        FakeController controller(&s);
        if (c.startError) controller.startError = c.startError;
        controller.greet = c.kind != kTransportSingleFile;  // a greeting would land on the commands

        EXPECT_EQ(runSessionWith(s, controller), c.error == nullptr);
        if (c.error && *c.error) {
            EXPECT_EQ(vek::err::getLastErrorDescription(), c.error);
        } else if (c.error) {
            EXPECT_EQ(vek::err::getLastError().code(), 2u);
        }
        EXPECT_EQ(controller.starts, c.starts);
        EXPECT_EQ(controller.stops, c.stops);
        EXPECT_EQ(controller.waits, c.starts);
        for (const auto& [name, bytes] : c.after) {
            std::string path = dir.path(name);
            EXPECT_EQ(std::filesystem::exists(path) ? std::optional(readFileBytes(path)) : std::nullopt, bytes) << name;
        }
    }
}

TEST(RunSessionWith, StandardInputAndOutput) {
    // Output only, then commands from standard input (replies go to it, a read-only pipe here).
    for (uint32_t kind : {kTransportOutputOnly, kTransportOutputInput}) {
        Settings s = settingsFor(kind, kFlagStdout | kFlagStdin);
        FakeController controller(&s);
        controller.greet = false;  // not into the test program's output (the end-to-end tests read it)
        StdInputFromPipe input;
        ASSERT_TRUE(input.ok() && input.write(kCommands));
        input.closeWriter();  // the end of input ends the session with success
        EXPECT_TRUE(runSessionWith(s, controller));
        EXPECT_TRUE(vek::io::duplicateStd(vek::io::StdStream::kOutput));  // the process's own handle is still open
        EXPECT_EQ(controller.commands().size(), kind == kTransportOutputInput ? 2u : 0u);
    }
}

TEST(RunSessionWith, AFailingCaptureFailsTheSessionAndTheNextOneStartsClean) {
    for (uint32_t kind : {kTransportOutputOnly, kTransportOutputInput}) {
        TempDir dir;
        Settings s = settingsFor(kind, kFlagStdin);
        s.outputFileName = dir.path("out.bin");
        FakeController controller(&s);
        controller.captureMessages = 3;
        controller.failCapture = true;
        StdInputFromPipe input;  // not written yet: only the capture thread can end a command loop on it
        ASSERT_TRUE(input.ok());
        auto session = std::async(std::launch::async, [&] {
            return runSessionWith(s, controller) ? std::string("success") : vek::err::getLastErrorDescription();
        });
        ASSERT_EQ(session.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(session.get(), "capture failed");
        std::vector<HostMessage> messages = parseMessages(readFileBytes(s.outputFileName));
        ASSERT_EQ(messages.size(), 5u);  // greeting, three captured, the error
        const Bytes& record = messages.back().payload;
        EXPECT_EQ(vek::err::getErrorDescription(vek::err::ErrorRef(record.data(), record.size())), "capture failed");

        controller.failCapture = false;
        input.closeWriter();
        EXPECT_TRUE(runSessionWith(s, controller));
    }
}

TEST(RunSession, UnknownHardwareOpensNothing) {
    TempDir dir;
    Settings s = settingsFor(kTransportOutputOnly);
    s.outputFileName = dir.path("out.bin");
    EXPECT_FALSE(runSession(s));
    EXPECT_EQ(vek::err::getLastErrorDescription(), "unknown hardware");
    EXPECT_FALSE(std::filesystem::exists(s.outputFileName));
}

// A server session of the kind on a fresh address, running while the test lasts.
class ServerSession : public testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        s_.inputFileName = uniqueName();
        std::promise<StreamServer*> listening;
        std::future<StreamServer*> server = listening.get_future();
        session_ = std::async(std::launch::async, [this, &listening] {
            return runSessionWith(s_, controller_, [&](StreamServer& it) { listening.set_value(&it); });
        });
        ASSERT_EQ(server.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        server_ = server.get();
    }
    void TearDown() override { stop(); }
    // Takes effect once the last client's session has ended; true when the session succeeded.
    bool stop() {
        if (server_) std::exchange(server_, nullptr)->stop();
        return session_.valid() && session_.wait_for(std::chrono::seconds(10)) == std::future_status::ready &&
               session_.get();
    }
    std::unique_ptr<vek::io::Stream> connect() const {
        return GetParam() == kTransportTcpServer ? connectTcp(static_cast<TcpServer*>(server_)->port())
                                                 : connectPipe(static_cast<PipeServer*>(server_)->address());
    }

    Settings s_ = settingsFor(GetParam());
    FakeController controller_{&s_};
    StreamServer* server_ = nullptr;
    std::future<bool> session_;
};

TEST_P(ServerSession, EachClientGetsTheControllerStartedAfreshAndLeavesNoHandleBehind) {
    long before = -1;
    for (int i = 0; i <= 100; ++i) {
        SCOPED_TRACE(i);
        auto host = connect();
        ASSERT_TRUE(host && receive(*host, kHello.size()) == kHello);
        if (i == 1) before = openHandleCount();  // the same point of a session as the last one
        if (i == 100 && before >= 0) {  // Wine gives no count
            EXPECT_EQ(openHandleCount(), before);
        }
        ASSERT_TRUE(send(*host, kCommands));
        ASSERT_EQ(receive(*host, kReplies.size()), kReplies);
    }
    EXPECT_TRUE(stop());
    EXPECT_EQ(controller_.starts, 101);
    EXPECT_EQ(controller_.stops, 101);
    EXPECT_EQ(controller_.waits, 101);
    EXPECT_EQ(controller_.commands().size(), 202u);
}

TEST_P(ServerSession, SecondClientWaitsUntilTheFirstSessionEnds) {
    auto first = connect();
    ASSERT_TRUE(first && receive(*first, kHello.size()) == kHello);
    std::atomic<bool> firstGone{false};
    bool servedAfter = false;
    std::thread second([&] {
        auto client = connect();  // TCP: into the backlog; pipe: waits for an instance
        servedAfter = client && receive(*client, kHello.size()) == kHello && firstGone;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // time for the second client to try
    firstGone = true;
    first.reset();
    second.join();
    EXPECT_TRUE(servedAfter);
    EXPECT_TRUE(stop());
}

INSTANTIATE_TEST_SUITE_P(Kinds, ServerSession, testing::Values(kTransportTcpServer, kTransportPipeServer),
                         [](const auto& info) { return info.param == kTransportTcpServer ? "tcp" : "pipe"; });
