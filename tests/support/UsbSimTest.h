#pragma once
// A test on the USB simulator as the program uses it: a scenario whose time runs
// 20 times faster (so the event thread's 500 ms passes end quickly), libusb's
// default context, an event thread serving it and the USB error texts.

#include <chrono>
#include <future>
#include <utility>

#include "foundation/ErrorMgr.h"
#include "session/ControllerBase.h"
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
