#pragma once
// A test on the USB simulator: a loaded scenario and libusb's default context.
// When the test ends the simulator must hold no transfer, handle or device
// reference, and no libusb rule may have been broken (unless the test expects it).

#include <gtest/gtest.h>
#include <libusb.h>

#include <string>
#include <vector>

#include "qwsim/Simulator.h"

// Recorded lines that start with `prefix`.
inline std::vector<std::string> recorded(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& l : qwsim::recordedLines())
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

class SimTest : public ::testing::Test {
protected:
    // Ends the context of an earlier load first: a table test loads once per case,
    // and the load is refused if that case left a transfer or reference behind.
    virtual void load(const std::string& scenario) {
        exitContext();
        std::string error;
        ASSERT_TRUE(qwsim::loadScenario(scenario, &error)) << error;
        ASSERT_EQ(libusb_init(nullptr), 0);
    }
    virtual void exitContext() {
        if (qwsim::counters().defaultContextRefs > 0) libusb_exit(nullptr);
    }
    void TearDown() override {
        exitContext();
        qwsim::Counters c = qwsim::counters();
        EXPECT_EQ(c.liveTransfers, 0u);
        EXPECT_EQ(c.openHandles, 0u);
        EXPECT_EQ(c.deviceRefs, 0);
        EXPECT_EQ(c.misuses, expectedMisuses) << testing::PrintToString(qwsim::recordedLines());
    }

    size_t expectedMisuses = 0;
};
