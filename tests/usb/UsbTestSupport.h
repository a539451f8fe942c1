#pragma once
// The USB layer on the simulator: a scenario, libusb's default context and an
// event thread per test, and a minimal controller over UsbControllerBase that
// reads one endpoint and forwards each read as a message of code 0x02.
//
// Every test must leave the simulator with no transfer, handle or device
// reference, and without a broken libusb rule.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "app/session/Message.h"
#include "foundation/ErrorMgr.h"
#include "foundation/Event.h"
#include "support/MemoryTransport.h"
#include "qwsim/Simulator.h"
#include "support/SimRecording.h"
#include "usb/UsbContext.h"
#include "usb/UsbControllerBase.h"
#include "usb/UsbError.h"

class UsbSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        vek::err::getErrorMgr().registerProvider(vek::err::kUsbDomain, &vek::io::usbErrorProvider());
    }

    // Simulated time runs 20 times faster unless the scenario says otherwise, so
    // the event thread's 500 ms passes end quickly.
    void load(const std::string& scenario) {
        std::string error;
        ASSERT_TRUE(qwsim::loadScenario("speed 20\n" + scenario, &error)) << error;
        ASSERT_TRUE(context.init());
        ASSERT_TRUE(events.start(context.get()));
    }

    void TearDown() override {
        events.stop();
        context.exit();
        qwsim::Counters c = qwsim::counters();
        EXPECT_EQ(c.liveTransfers, 0u);
        EXPECT_EQ(c.openHandles, 0u);
        EXPECT_EQ(c.deviceRefs, 0);
        EXPECT_EQ(c.misuses, 0u) << joined(qwsim::recordedLines());
    }

    vek::io::UsbContext context;
    vek::io::UsbEventThread events;
};

// A command transport that tells when a capture thread closed it.
class CommandProbe final : public MemoryTransport {
public:
    void close() override {
        MemoryTransport::close();
        closedEvent_.set();
    }
    bool waitClosed() { return closedEvent_.waitFor(10000); }

private:
    vek::sys::Event closedEvent_;
};

constexpr uint16_t kTestVid = 0x16d0;
constexpr uint16_t kTestPid = 0x0f3b;
constexpr uint8_t kDataEndpoint = 0x81;
constexpr uint8_t kDataMessage = 0x02;

class TestController final : public UsbControllerBase {
public:
    // Reads of `length` bytes (0: readBlockSize) from the data endpoint.
    explicit TestController(const Settings* s, uint32_t length = 0)
        : UsbControllerBase(s), length_(length ? length : static_cast<uint32_t>(s->readBlockSize)) {}
    ~TestController() override { EXPECT_TRUE(inFlight.empty()); }

    std::span<const vek::Guid> getLogGuids() const override { return {}; }
    bool processCommand(const uint8_t*) override { return vek::err::setWinError(vek::err::kWinInvalidParameter), false; }
    bool start(TransportBase* output, TransportBase*) override {
        outputTransport = output;
        return findDevice(kTestVid, kTestPid) && claimInterface(0) && startThreads();
    }

    // What the event thread saw: the first data byte of each completed read (-1
    // for none) and how many reads completeRead handed on.
    struct Completion {
        int firstByte;
        size_t moved;
    };
    std::vector<Completion> completions() {
        std::lock_guard<std::mutex> hold(lock);
        return completions_;
    }
    // Blocks until `n` submission passes or `m` completions happened.
    bool waitForPasses(size_t n) { return waitFor([&] { return passes_ >= n; }); }
    size_t passes() {
        std::lock_guard<std::mutex> hold(lock);
        return passes_;
    }
    bool waitForCompletions(size_t m) { return waitFor([&] { return completions_.size() >= m; }); }

    uint64_t inFlightCount() {
        std::lock_guard<std::mutex> hold(lock);
        return inFlight.count();
    }
    uint64_t completedCount() {
        std::lock_guard<std::mutex> hold(lock);
        return completedList.count();
    }
    uint64_t freeCount() {
        std::lock_guard<std::mutex> hold(lock);
        return freeList.count();
    }
    uint32_t flags() const { return stateFlags.load(); }
    void setLength(uint32_t length) { length_ = length; }  // between runs only
    void setCommandTransport(TransportBase* t) { commandTransport = t; }
    // A vendor request, so the record shows which device is open.
    bool ping() { return device.controlTransfer(0x40, 0, 0, 0, nullptr, 0, 0) == 0; }
    bool startAgain() { return startThreads(); }

    using UsbControllerBase::drainEndpoint;
    using UsbControllerBase::findDevice;

protected:
    bool submitReads() override {
        bool ok = queueReads(inFlight, 0, kDataEndpoint, UsbReadBlock::kBulk, length_);
        ++passes_;
        changed_.notify_all();
        return ok;
    }
    void cancelReads() override { cancelAndWait(inFlight); }
    void onReadCompleted(UsbReadBlock* block) override {
        int first = block->result > 0 ? block->data()[0] : -1;
        size_t moved = completeRead(inFlight, block);
        completions_.push_back({first, moved});
        changed_.notify_all();
    }
    bool processData(UsbReadBlock* block) override {
        return writeMessage(*outputTransport, kDataMessage, block->data(), static_cast<size_t>(block->result));
    }

private:
    template <class Pred>
    bool waitFor(Pred pred) {
        std::unique_lock<std::mutex> hold(lock);
        return changed_.wait_for(hold, std::chrono::seconds(10), pred);
    }

    UsbReadBlockList inFlight;
    uint32_t length_;
    std::condition_variable changed_;
    size_t passes_ = 0;  // under `lock`
    std::vector<Completion> completions_;
};
