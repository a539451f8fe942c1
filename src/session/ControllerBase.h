#pragma once
// The interface every capture controller implements, and the fixed run sequence
// of one capture: start, command loop, stop, wait and close.
//
// A controller goes idle (Closed) -> running -> stopping -> idle any number of
// times: the TCP and pipe servers reuse one controller for consecutive clients.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

#include "session/Settings.h"
#include "foundation/Error.h"
#include "foundation/Guid.h"
#include "transport/TransportBase.h"

class ControllerBase {
public:
    enum StateFlag : uint32_t { kClosed = 0x1, kStopRequested = 0x2 };

    explicit ControllerBase(const Settings* settings) : settings(settings) {}
    ControllerBase(const ControllerBase&) = delete;
    ControllerBase& operator=(const ControllerBase&) = delete;
    virtual ~ControllerBase() = default;

    // The log-record class GUIDs of this controller, for the *.qwlog header.
    virtual std::span<const vek::Guid> getLogGuids() const = 0;
    // One complete host message (header, then payload); main thread. False with
    // the last error set; unknown codes fail with Windows error 87.
    virtual bool processCommand(const uint8_t* message) = 0;
    // Asks the capture threads to end; returns at once. Any thread, any state,
    // any number of times.
    virtual void stop() = 0;
    // Opens the device and starts the capture threads, which write framed
    // messages to the output. False with the last error set.
    virtual bool start(TransportBase* output, TransportBase* command) = 0;
    // Blocks until the capture threads have ended, releases the device and
    // returns the controller to idle, ready for another start.
    virtual void waitAndClose() = 0;

    // start; the command loop on `command` until it ends or fails (or, without a
    // command transport, until the capture ends by itself); stop; waitAndClose.
    // True when the command input ended normally and the capture did not fail;
    // a capture failure leaves its error as the last error, so the program exits
    // with it instead of reporting success.
    bool run(TransportBase* output, TransportBase* command);
    // Whether the last run failed already in start (nothing was sent then).
    bool startFailed() const { return startFailed_; }

protected:
    bool stopRequested() const { return (stateFlags.load() & kStopRequested) != 0; }

    // Called by a capture thread that ends on a failure, without `lock` held:
    // keeps the thread's last error (with its context) for run to report. True
    // for the first failure of the run only: the one that reports it to the
    // host, so a failed capture gives exactly one error message.
    bool recordCaptureFailure();
    // Main thread, in waitAndClose: the last error becomes the run's result unless
    // the run fails anyway. For failures the host has heard of already (a failed
    // firmware upload), which must still not end the program as a success.
    void recordRunFailure();

    const Settings* const settings;
    TransportBase* outputTransport = nullptr;
    // Stored before start, so a capture thread that fails at once can still close
    // it and so end the command loop.
    std::atomic<TransportBase*> commandTransport{nullptr};
    // Guards the controller's lists, queues and state against the main thread,
    // its capture threads and the USB event thread.
    std::mutex lock;
    std::atomic<uint32_t> stateFlags{kClosed};

private:
    vek::err::Error captureFailure_;  // guarded by lock
    vek::err::Error runFailure_;      // guarded by lock
    bool startFailed_ = false;        // the main thread's
};
