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

#include "session/ControllerBase.h"
#include "session/Message.h"
#include "foundation/Error.h"

class FakeController : public ControllerBase {
public:
    static constexpr uint8_t kStartedCode = 0x02;     // written at every start, payload "hello"
    static constexpr uint8_t kCaptureCode = 0x03;     // written by the capture thread
    static constexpr uint8_t kFailingCommand = 0x7F;  // fails with Windows error 87
    static constexpr uint8_t kEchoCommand = 0x28;     // payload written back to the output as kCaptureCode

    explicit FakeController(const Settings* settings = nullptr) : ControllerBase(settings) {}
    ~FakeController() override { waitAndClose(); }

    // Set before run.
    std::string startError;      // non-empty: start fails with this text error
    bool greet = true;           // write the started message at start
    size_t captureMessages = 0;  // messages the capture thread writes, then it ends
    bool failCapture = false;    // after them: an error message, and the command transport closed

    std::atomic<int> starts{0}, stops{0}, waits{0};
    std::vector<std::vector<uint8_t>> commands() const {
        std::lock_guard<std::mutex> hold(commandsMutex_);
        return commands_;
    }

    std::span<const vek::Guid> getLogGuids() const override { return {}; }
    bool processCommand(const uint8_t* message) override {
        MessageHdr hdr = messageHeader(message);
        std::unique_lock<std::mutex> hold(commandsMutex_);
        commands_.emplace_back(message, message + sizeof(MessageHdr) + hdr.size);
        hold.unlock();
        if (hdr.code == kFailingCommand) return vek::err::setWinError(vek::err::kWinInvalidParameter), false;
        return hdr.code != kEchoCommand ||
               writeMessage(*outputTransport, kCaptureCode, messagePayload(message), hdr.size);
    }
    void stop() override { ++stops, stateFlags |= kStopRequested; }
    bool start(TransportBase* output, TransportBase*) override {
        ++starts;
        if (!startError.empty()) return vek::err::setStringError(startError), false;
        outputTransport = output;
        stateFlags = 0;
        if (greet) writeMessage(*output, kStartedCode, "hello", 5);
        if (captureMessages > 0 || failCapture) thread_ = std::thread([this] { capture(); });
        return true;
    }
    void waitAndClose() override {
        ++waits;
        if (thread_.joinable()) thread_.join();
        stateFlags = kClosed;
    }

private:
    void capture() {
        for (size_t i = 0; i < captureMessages && !stopRequested(); ++i) {
            std::vector<uint8_t> payload(100, static_cast<uint8_t>(i));
            if (!writeMessage(*outputTransport, kCaptureCode, payload.data(), payload.size())) return;
        }
        if (!failCapture) return;
        vek::err::setStringError("capture failed");
        recordCaptureFailure();
        writeErrorMessage(*outputTransport);
        if (TransportBase* command = commandTransport.load()) command->close();
    }

    mutable std::mutex commandsMutex_;
    std::vector<std::vector<uint8_t>> commands_;
    std::thread thread_;
};
