// The test programs start like the program itself: same process preparation.
// A test that runs far longer than any should is a hang: a watch names it,
// shows where every thread is and aborts, so a hang in CI explains itself
// instead of ending as a bare ctest timeout.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/Process.h"
#include "support/hang/ThreadStacks.h"

namespace {

class HangWatch final : public testing::EmptyTestEventListener {
public:
    explicit HangWatch(std::chrono::seconds limit) : limit_(limit), watcher_([this] { watch(); }) {}
    ~HangWatch() override {
        mark(true, {});
        watcher_.join();
    }
    void OnTestStart(const testing::TestInfo& t) override { mark(false, std::string(t.test_suite_name()) + "." + t.name()); }
    void OnTestEnd(const testing::TestInfo&) override { mark(false, {}); }

private:
    void mark(bool ended, std::string test) {
        std::lock_guard<std::mutex> hold(lock_);
        ended_ = ended, current_ = std::move(test), ++generation_;
        changed_.notify_all();
    }
    void watch() {
        std::unique_lock<std::mutex> hold(lock_);
        while (!ended_) {
            unsigned long seen = generation_;
            if (changed_.wait_for(hold, limit_, [&] { return ended_ || generation_ != seen; }) || current_.empty())
                continue;
            std::string test = current_;
            hold.unlock();
            std::fprintf(stderr, "\nhang: %s still runs after %lld s; the threads:\n", test.c_str(),
                         static_cast<long long>(limit_.count()));
            std::fflush(stderr);
            printAllThreadStacks();
            std::abort();
        }
    }

    const std::chrono::seconds limit_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::string current_;
    unsigned long generation_ = 0;
    bool ended_ = false;
    std::thread watcher_;  // last: starts once the rest is ready
};

}  // namespace

int main(int argc, char** argv) {
    vek::sys::prepareProcess();
    testing::InitGoogleTest(&argc, argv);
    // Below ctest's limit of 300 s for a whole program; QW_TEST_HANG_SECONDS sets another.
    const char* limit = std::getenv("QW_TEST_HANG_SECONDS");
    testing::UnitTest::GetInstance()->listeners().Append(new HangWatch(std::chrono::seconds(limit ? std::atoi(limit) : 200)));
    return RUN_ALL_TESTS();
}
