#pragma once
// A test on the USB simulator as the program uses it: a scenario whose time runs
// 20 times faster (so the event thread's 500 ms passes end quickly), libusb's
// default context, an event thread serving it and the USB error texts.

#include "foundation/ErrorMgr.h"
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
