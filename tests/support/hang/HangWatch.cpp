#include "support/hang/HangWatch.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

class HangWatch final : public testing::EmptyTestEventListener {
public:
    explicit HangWatch(std::chrono::seconds limit) : limit_(limit), watcher_([this] { watch(); }) {}
    ~HangWatch() override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ended_ = true;
        }
        changed_.notify_all();
        watcher_.join();
    }

    void OnTestStart(const testing::TestInfo& test) override {
        std::lock_guard<std::mutex> hold(lock_);
        current_ = std::string(test.test_suite_name()) + "." + test.name();
        ++generation_;
        changed_.notify_all();
    }
    void OnTestEnd(const testing::TestInfo&) override {
        std::lock_guard<std::mutex> hold(lock_);
        current_.clear();
        ++generation_;
        changed_.notify_all();
    }

private:
    void watch() {
        std::unique_lock<std::mutex> hold(lock_);
        while (!ended_) {
            unsigned long seen = generation_;
            bool moved = changed_.wait_for(hold, limit_, [&] { return ended_ || generation_ != seen; });
            if (moved || current_.empty()) continue;
            std::string name = current_;
            hold.unlock();
            std::fprintf(stderr, "\nhang: %s still runs after %lld s; the threads:\n", name.c_str(),
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

void watchForHangs(testing::TestEventListeners& listeners, std::chrono::seconds limit) {
    listeners.Append(new HangWatch(limit));  // gtest owns and deletes it
}
