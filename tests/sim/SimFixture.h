#pragma once
// A loaded scenario with libusb's default context open. At the end of each test
// the simulator must hold no transfer, handle or device reference, and no libusb
// rule may have been broken (unless the test says how many it broke on purpose).

#include <gtest/gtest.h>
#include <libusb.h>

#include <string>
#include <vector>

#include "qwsim/Simulator.h"
#include "support/SimRecording.h"

class SimTest : public ::testing::Test {
protected:
    void load(const std::string& scenario) {
        std::string error;
        ASSERT_TRUE(qwsim::loadScenario(scenario, &error)) << error;
        ASSERT_EQ(libusb_init(nullptr), 0);
        open_ = true;
    }

    void exitContext() {
        if (open_) libusb_exit(nullptr);
        open_ = false;
    }

    void TearDown() override {
        exitContext();
        qwsim::Counters c = qwsim::counters();
        EXPECT_EQ(c.liveTransfers, 0u);
        EXPECT_EQ(c.openHandles, 0u);
        EXPECT_EQ(c.deviceRefs, 0);
        EXPECT_EQ(c.misuses, expectedMisuses) << joined(qwsim::recordedLines());
    }

    // The first device with this VID and PID, opened; the test closes it.
    static libusb_device_handle* open(uint16_t vid, uint16_t pid) {
        libusb_device_handle* h = libusb_open_device_with_vid_pid(nullptr, vid, pid);
        EXPECT_NE(h, nullptr);
        return h;
    }

    size_t expectedMisuses = 0;

private:
    bool open_ = false;
};

// One asynchronous read, with what came back.
struct Read {
    libusb_transfer* transfer = nullptr;
    std::vector<uint8_t> buffer;
    bool done = false;
    int sequence = 0;  // order of the callbacks, over all reads
    int status = -1;
    int actual = -1;

    Read(libusb_device_handle* h, uint8_t endpoint, int length, unsigned timeoutMs = 0)
        : transfer(libusb_alloc_transfer(0)), buffer(static_cast<size_t>(length)) {
        libusb_fill_bulk_transfer(transfer, h, endpoint, buffer.data(), length, &Read::callback, this, timeoutMs);
    }
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;
    ~Read() { libusb_free_transfer(transfer); }

    int submit() {
        done = false;
        return libusb_submit_transfer(transfer);
    }
    std::vector<uint8_t> bytes() const { return {buffer.begin(), buffer.begin() + std::max(actual, 0)}; }

    static void LIBUSB_CALL callback(libusb_transfer* t) {
        auto* r = static_cast<Read*>(t->user_data);
        static int calls = 0;
        r->sequence = ++calls;
        r->done = true;
        r->status = t->status;
        r->actual = t->actual_length;
    }
};

// Handles events until every read is done; false after `passes` passes.
inline bool waitDone(std::initializer_list<const Read*> reads, int passes = 200) {
    for (int i = 0; i < passes; ++i) {
        bool all = true;
        for (const Read* r : reads) all = all && r->done;
        if (all) return true;
        timeval tv{0, 50'000};
        libusb_handle_events_timeout(nullptr, &tv);
    }
    return false;
}
