#pragma once
// A test on the USB simulator as the program uses it: a scenario whose time runs
// 20 times faster (so the event thread's 500 ms passes end quickly), libusb's
// default context, an event thread serving it and the USB error texts.

#include <chrono>
#include <future>
#include <thread>
#include <utility>

#include "foundation/ErrorMgr.h"
#include "session/ControllerBase.h"
#include "session/Message.h"
#include "support/MemoryTransport.h"
#include "support/SimTest.h"
#include "usb/UsbContext.h"
#include "usb/UsbError.h"

class UsbSimTest : public SimTest {
protected:
    void SetUp() override {
        vek::err::getErrorMgr().registerProvider(vek::err::kUsbDomain, &vek::io::usbErrorProvider());
    }
    void load(const std::string& scenario) override {
        SimTest::load("speed 20\n" + scenario);
        ASSERT_TRUE(events.start(nullptr));
    }
    void exitContext() override {
        events.stop();  // nothing may be inside libusb when its context goes
        SimTest::exitContext();
    }

    vek::io::UsbEventThread events;
};

// Runs a capture that only a failure can end: its command input, when it has one,
// never ends. The run's result and the failure's record; a run that does not end
// in time fails the test and is stopped.
inline std::pair<bool, std::vector<uint8_t>> runUntilFailure(ControllerBase& c, TransportBase& output,
                                                             bool commands = true, int seconds = 10) {
    MemoryTransport command;
    std::vector<uint8_t> failure;
    auto run = std::async(std::launch::async, [&] {
        bool ok = c.run(&output, commands ? &command : nullptr);
        failure = lastErrorRecord();
        return ok;
    });
    if (run.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        ADD_FAILURE() << "the capture did not end";
        c.stop();
        command.close();
    }
    bool ok = run.get();
    return {ok, failure};
}

// Polls `done` for up to ten seconds; its last answer.
template <typename Predicate>
bool waitUntil(Predicate done) {
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

// A run on a thread of its own whose commands the test sends one at a time.
struct ControllerSession {
    explicit ControllerSession(ControllerBase& c) : run(std::async(std::launch::async, [&c, this] { return c.run(&out, &in); })) {}
    ~ControllerSession() {
        in.endInput();
        if (run.valid()) run.wait();
    }
    // The reply to one command (code 0xFF: none came).
    HostMessage send(const std::vector<uint8_t>& command) {
        size_t before = parseMessages(in.output()).size(), bytes = in.output().size();
        in.pushInput(command);
        EXPECT_TRUE(in.waitForOutput(bytes + 4)) << "no reply";  // a reply is written whole
        std::vector<HostMessage> replies = parseMessages(in.output());
        return replies.size() > before ? replies[before] : HostMessage{0, 0xFF, {}};
    }
    bool end() { return in.endInput(), run.get(); }

    MemoryTransport out, in;
    std::future<bool> run;
};
