#pragma once
// A command input that gives the command loop a few commands at the start of
// a capture and then nothing, until it is closed: so the loop carries them out
// and then waits, as it would for a host, for the capture to end. The replies
// are dropped.

#include <condition_variable>
#include <mutex>
#include <vector>

#include "transport/TransportBase.h"

class ScriptedCommands : public TransportBase {
public:
    // Whole framed commands.
    explicit ScriptedCommands(std::vector<uint8_t> commands) : commands_(std::move(commands)) {}

    void close() override {
        std::lock_guard<std::mutex> hold(mutex_);
        noteClose();
        closed_ = true;
        changed_.notify_all();
    }
    size_t read(void* buffer, size_t size) override;
    size_t write(const void*, size_t size) override { return size; }
    bool wait() override { return true; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> commands_;
    size_t given_ = 0;
    bool closed_ = false;
};
