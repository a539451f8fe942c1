#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "foundation/Error.h"
#include "support/CloseDuringRead.h"
#include "support/TempDir.h"
#include "support/TestHost.h"
#include "transport/Server.h"

namespace {

// Echoes what it reads until it reads a 'Q' or the client goes.
bool echoSession(TransportBase& t) {
    uint8_t buffer[256];
    for (size_t n; (n = t.read(buffer, sizeof buffer)) != 0 && n != kIoFailed;)
        if (t.write(buffer, n) != n || std::memchr(buffer, 'Q', n)) break;
    return true;
}

// A TCP or pipe server on a fresh address, serving on a thread of its own once started.
class ServerTest : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "tcp") {
            auto s = std::make_unique<TcpServer>();
            ASSERT_TRUE(s->open(0)) << vek::err::getLastErrorDescription();
            port_ = s->port();
            server_ = std::move(s);
        } else {
            auto s = std::make_unique<PipeServer>();
            ASSERT_TRUE(s->open(uniqueName())) << vek::err::getLastErrorDescription();
            pipe_ = s->address();
            server_ = std::move(s);
        }
    }
    void TearDown() override { stop(); }

    std::unique_ptr<vek::io::Stream> connect() const { return pipe_.empty() ? connectTcp(port_) : connectPipe(pipe_); }
    void serve(SessionCallback session) {
        thread_ = std::thread([this, session] {
            served_ = server_->serve([&](TransportBase& t) { return ++sessions_, session(t); });
        });
    }
    bool stop() {  // what serve returned
        if (thread_.joinable()) server_->stop(), thread_.join();
        return served_;
    }

    std::unique_ptr<StreamServer> server_;
    uint16_t port_ = 0;
    std::string pipe_;
    std::atomic<int> sessions_{0};
    bool served_ = false;
    std::thread thread_;
};

}  // namespace

TEST_P(ServerTest, ServesClientsOneAfterAnotherAndLeavesNoHandlesBehind) {
    auto client = connect();  // before the server waits for a client
    serve(echoSession);
    long before = -1;
    for (int i = 0; i < 101; ++i) {
        SCOPED_TRACE(i);
        if (i > 0) client = connect();
        ASSERT_TRUE(client);
        if (i % 2) {  // the client goes; its session sees the end of input
            ASSERT_TRUE(send(*client, bytesOf("xy")));
            ASSERT_EQ(receive(*client, 2), bytesOf("xy"));
            client.reset();
            continue;
        }
        // The session ends itself; the server closes the connection.
        ASSERT_TRUE(send(*client, bytesOf("abQ")));
        ASSERT_EQ(receive(*client, 3), bytesOf("abQ"));
        ASSERT_TRUE(waitClosed(*client));
        client.reset();
        if (i == 0) before = openHandleCount();
    }
    if (before >= 0) {  // Wine gives no count
        EXPECT_EQ(openHandleCount(), before);
    }
    EXPECT_TRUE(stop());
    EXPECT_EQ(sessions_, 101);
}

TEST_P(ServerTest, SecondClientWaitsUntilTheFirstSessionEnds) {
    using Clock = std::chrono::steady_clock;
    serve(echoSession);
    auto first = connect();
    ASSERT_TRUE(first && send(*first, bytesOf("1")));
    ASSERT_EQ(receive(*first, 1), bytesOf("1"));
    Clock::time_point secondServed;
    std::thread second([&] {
        auto client = connect();  // TCP: into the backlog; pipe: waits for an instance
        ASSERT_TRUE(client && send(*client, bytesOf("2Q")));
        EXPECT_EQ(receive(*client, 2), bytesOf("2Q"));
        secondServed = Clock::now();
    });
    // Time for the second client to connect and send before the first one ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Clock::time_point firstEnds = Clock::now();
    ASSERT_TRUE(send(*first, bytesOf("Q")));
    EXPECT_EQ(receive(*first, 1), bytesOf("Q"));
    first.reset();
    second.join();
    stop();
    EXPECT_GT(secondServed, firstEnds);
    EXPECT_EQ(sessions_, 2);
}

TEST_P(ServerTest, CloseWakesAReadBlockedOnTheConnection) {
    bool woke = false;
    serve([&](TransportBase& t) { return woke = closeWakesRead(t); });
    auto client = connect();
    EXPECT_TRUE(client && waitClosed(*client));
    stop();
    EXPECT_TRUE(woke);
}

TEST_P(ServerTest, ASecondServerOnTheSameAddressIsRefused) {
    EXPECT_FALSE(pipe_.empty() ? TcpServer().open(port_) : PipeServer().open(pipe_));
    EXPECT_NE(vek::err::getLastError().code(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ServerTest, testing::Values("tcp", "pipe"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(TcpServer, RefusesAPortAbove65535) {
    EXPECT_FALSE(TcpServer().open(70000));
    EXPECT_EQ(vek::err::getLastErrorDescription(), "TCP port 70000 is out of range");
}
