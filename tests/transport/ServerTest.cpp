#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
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
    for (;;) {
        size_t n = t.read(buffer, sizeof buffer);
        if (n == 0 || n == kIoFailed) return n == 0;
        if (t.write(buffer, n) != n) return false;
        if (std::memchr(buffer, 'Q', n)) return true;
    }
}

// A TCP or pipe server serving on a thread of its own for the test's life.
class Served {
public:
    Served(const std::string& kind, SessionCallback session) : tcp_(kind == "tcp") {
        if (tcp_) {
            auto server = std::make_unique<TcpServer>();
            opened_ = server->open(0);
            port_ = server->port();
            server_ = std::move(server);
        } else {
            auto server = std::make_unique<PipeServer>();
            opened_ = server->open(testPipeName(dir_.root().string()));
            address_ = server->address();
            server_ = std::move(server);
        }
        if (opened_)
            thread_ = std::thread([this, session = std::move(session)] {
                served_ = server_->serve([&](TransportBase& t) {
                    bool ok = session(t);
                    std::lock_guard<std::mutex> hold(mutex_);
                    ++sessions;
                    ended_.notify_all();
                    return ok;
                });
            });
    }
    ~Served() { stop(); }

    bool opened() const { return opened_; }
    std::unique_ptr<TestClient> connect() const {
        return tcp_ ? TestClient::connectTcp(port_) : TestClient::connectPipe(address_);
    }
    // Returns what serve returned.
    bool stop() {
        if (thread_.joinable()) {
            server_->stop();
            thread_.join();
        }
        return served_;
    }

    bool waitForSessions(int n) {
        std::unique_lock<std::mutex> hold(mutex_);
        return ended_.wait_for(hold, std::chrono::seconds(10), [&] { return sessions >= n; });
    }

    std::atomic<int> sessions{0};

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    TempDir dir_;
    bool tcp_;
    bool opened_ = false;
    uint16_t port_ = 0;
    std::string address_;
    std::unique_ptr<StreamServer> server_;
    std::thread thread_;
    bool served_ = false;
};

class ServerTest : public testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(ServerTest, ServesClientsOneAfterAnotherUntilStopped) {
    Served server(GetParam(), echoSession);
    ASSERT_TRUE(server.opened()) << vek::err::getLastErrorDescription();
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        auto client = server.connect();
        ASSERT_TRUE(client);
        if (i % 2 == 0) {
            // The session ends itself; the server closes the connection.
            ASSERT_TRUE(client->send(bytesOf("abcQ")));
            EXPECT_EQ(client->receive(4), bytesOf("abcQ"));
            EXPECT_TRUE(client->waitClosed());
        } else {
            // The client goes; its session sees the end of input.
            ASSERT_TRUE(client->send(bytesOf("xy")));
            EXPECT_EQ(client->receive(2), bytesOf("xy"));
        }
    }
    auto last = server.connect();  // served only after the one before has ended
    ASSERT_TRUE(last && last->send(bytesOf("Q")));
    EXPECT_EQ(last->receive(1), bytesOf("Q"));
    EXPECT_TRUE(server.stop());
    EXPECT_EQ(server.sessions, 5);
}

TEST_P(ServerTest, SecondClientWaitsUntilTheFirstSessionEnds) {
    using Clock = std::chrono::steady_clock;
    Served server(GetParam(), echoSession);
    ASSERT_TRUE(server.opened());
    auto first = server.connect();
    ASSERT_TRUE(first && first->send(bytesOf("1")));
    ASSERT_EQ(first->receive(1), bytesOf("1"));

    Clock::time_point secondServed;
    std::thread second([&] {
        auto client = server.connect();  // TCP: into the backlog; pipe: waits for an instance
        ASSERT_TRUE(client && client->send(bytesOf("2Q")));
        EXPECT_EQ(client->receive(2, 10000), bytesOf("2Q"));
        secondServed = Clock::now();
    });
    // Time for the second client to connect and send before the first one ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Clock::time_point firstEnds = Clock::now();
    ASSERT_TRUE(first->send(bytesOf("Q")));
    EXPECT_EQ(first->receive(1), bytesOf("Q"));
    first.reset();
    second.join();
    server.stop();
    EXPECT_GT(secondServed, firstEnds);
    EXPECT_EQ(server.sessions, 2);
}

TEST_P(ServerTest, HundredSessionsLeaveNoHandlesBehind) {
    Served server(GetParam(), echoSession);
    ASSERT_TRUE(server.opened());
    long before = -1;
    for (int i = 0; i < 101; ++i) {
        auto client = server.connect();
        ASSERT_TRUE(client && client->send(bytesOf("Q")));
        ASSERT_EQ(client->receive(1), bytesOf("Q"));
        ASSERT_TRUE(client->waitClosed());  // the server has closed its end
        client.reset();
        if (i == 0) before = openHandleCount();
    }
    if (before < 0) {
        std::cout << "[          ] handle count not available here; sessions checked only\n";
    } else {
        EXPECT_EQ(openHandleCount(), before);
    }
    server.stop();
    EXPECT_EQ(server.sessions, 101);
}

TEST_P(ServerTest, CloseWakesAReadBlockedOnTheConnection) {
    CloseDuringRead outcome{kNotReturned, 0};
    Served server(GetParam(), [&](TransportBase& t) {
        outcome = closeDuringRead(t);
        return true;
    });
    ASSERT_TRUE(server.opened());
    auto client = server.connect();
    ASSERT_TRUE(client);
    EXPECT_TRUE(client->waitClosed());
    server.stop();
    EXPECT_EQ(outcome.result, 0u);
    EXPECT_LT(outcome.millisecondsAfterClose, 1000);
}

TEST_P(ServerTest, WritingToAClientThatHasGoneFails) {
    size_t result = 0;
    uint32_t code = 0;
    Served server(GetParam(), [&](TransportBase& t) {
        uint8_t buffer[16];
        if (t.read(buffer, sizeof buffer) == kIoFailed || t.write("k", 1) != 1) return false;
        while (t.read(buffer, sizeof buffer) != 0) {
        }
        // The first writes may still be buffered by the system; the peer's
        // reset makes a later one fail.
        std::vector<uint8_t> block(65536, 0xAA);
        for (int i = 0; i < 200 && result != kIoFailed; ++i) result = t.write(block.data(), block.size());
        code = vek::err::getLastError().code();
        return true;
    });
    ASSERT_TRUE(server.opened());
    {
        // Stay until the session has begun: a pipe client that leaves before
        // the server has connected its instance is a failed connection.
        auto client = server.connect();
        ASSERT_TRUE(client && client->send(bytesOf("x")));
        ASSERT_EQ(client->receive(1), bytesOf("k"));
    }
    ASSERT_TRUE(server.waitForSessions(1));
    server.stop();
    EXPECT_EQ(result, kIoFailed);
    EXPECT_NE(code, 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ServerTest, testing::Values("tcp", "pipe"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(TcpServer, RefusesPortsItCannotHave) {
    TcpServer big;
    EXPECT_FALSE(big.open(70000));
    EXPECT_EQ(vek::err::getLastErrorDescription(), "TCP port 70000 is out of range");

    TcpServer first, second;
    ASSERT_TRUE(first.open(0));
    EXPECT_FALSE(second.open(first.port()));
    EXPECT_NE(vek::err::getLastError().code(), 0u);
}

TEST(PipeServer, ANameInUseIsRefused) {
    TempDir dir;
    std::string name = testPipeName(dir.root().string());
    PipeServer first, second;
    ASSERT_TRUE(first.open(name));
    EXPECT_FALSE(second.open(name));
    EXPECT_NE(vek::err::getLastError().code(), 0u);
}

TEST_P(ServerTest, AClientThatConnectsBeforeTheServerWaitsIsServed) {
    TempDir dir;
    std::unique_ptr<StreamServer> server;
    std::unique_ptr<TestClient> client;
    if (GetParam() == "tcp") {
        auto tcp = std::make_unique<TcpServer>();
        ASSERT_TRUE(tcp->open(0));
        client = TestClient::connectTcp(tcp->port());
        server = std::move(tcp);
    } else {
        auto pipe = std::make_unique<PipeServer>();
        ASSERT_TRUE(pipe->open(testPipeName(dir.root().string())));
        client = TestClient::connectPipe(pipe->address());
        server = std::move(pipe);
    }
    ASSERT_TRUE(client);
    std::thread serving([&] { server->serve(echoSession); });
    ASSERT_TRUE(client->send(bytesOf("Q")));
    EXPECT_EQ(client->receive(1), bytesOf("Q"));
    server->stop();
    serving.join();
}
