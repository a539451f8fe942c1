#pragma once
// A controller without hardware, for session and command-loop tests: counts its
// calls, records the commands it gets, and can run a capture thread that writes
// messages to the output or fails the way real controllers do (an error message,
// then the command transport closed).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/session/ControllerBase.h"

class FakeController : public ControllerBase {
public:
    static constexpr uint8_t kStartedCode = 0x02;    // written at every start, payload "hello"
    static constexpr uint8_t kCaptureCode = 0x03;    // written by the capture thread
    static constexpr uint8_t kFailingCommand = 0x7F; // fails with Windows error 87
    static constexpr uint8_t kEchoCommand = 0x28;    // payload written back to the output as kCaptureCode

    explicit FakeController(const Settings* settings = nullptr) : ControllerBase(settings) {}
    ~FakeController() override;

    // Set before run.
    std::string startError;       // non-empty: start fails with this text error
    bool greet = true;            // write the started message at start
    size_t captureMessages = 0;   // messages the capture thread writes, then it ends
    bool failCapture = false;     // after them: an error message, and the command transport closed

    int starts() const { return starts_; }
    int stops() const { return stops_; }
    int waits() const { return waits_; }
    std::vector<std::vector<uint8_t>> commands() const;

    std::span<const vek::Guid> getLogGuids() const override { return {}; }
    bool processCommand(const uint8_t* message) override;
    void stop() override;
    bool start(TransportBase* output, TransportBase* command) override;
    void waitAndClose() override;

private:
    void capture();

    std::atomic<int> starts_{0}, stops_{0}, waits_{0};
    mutable std::mutex commandsMutex_;
    std::vector<std::vector<uint8_t>> commands_;
    std::thread thread_;
};
