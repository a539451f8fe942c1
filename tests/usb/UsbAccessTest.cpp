// The libusb access layer: error texts and codes, the context, the event thread,
// device and transfer wrappers.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "UsbTestSupport.h"
#include "usb/Libusb.h"
#include "usb/UsbDevice.h"

using namespace vek;

namespace {

std::string describe(int code) { return err::getErrorDescription(err::Error::fromCode(err::kUsbDomain, static_cast<uint32_t>(code)).ref()); }

void expectLastError(const Guid& domain, uint32_t code) {
    err::ErrorRef e = err::getLastError();
    EXPECT_EQ(e.guid(), domain);
    EXPECT_EQ(e.code(), code);
}

const char* const kOneDevice = "speed 100\ntrace events\ndevice 16d0:0f3b\nendpoint 0x81\nendpoint 0x02\n";

}  // namespace

class UsbAccess : public UsbSimTest {};

TEST_F(UsbAccess, DescribesErrorCodesAndTransferStatuses) {
    struct Case {
        int code;
        const char* text;
    } cases[] = {
        {0, "Success"},
        {-1, "Input/Output Error"},
        {-2, "Invalid parameter"},
        {-3, "Access denied (insufficient permissions)"},
        {-4, "No such device (it may have been disconnected)"},
        {-5, "Entity not found"},
        {-6, "Resource busy"},
        {-7, "Operation timed out"},
        {-8, "Overflow"},
        {-9, "Pipe error"},
        {-10, "System call interrupted (perhaps due to signal)"},
        {-11, "Insufficient memory"},
        {-12, "Operation not supported or unimplemented on this platform"},
        {-13, "Other error"},
        {-99, "Other error"},
        {INT32_MIN, "Other error"},
        {1, "Transfer failed"},
        {2, "Transfer timed out"},
        {3, "Transfer was cancelled"},
        {4, "Endpoint stalled"},
        {5, "Device was disconnected"},
        {6, "Device sent more data than requested"},
        {7, "Other transfer error"},
        {9, "Other transfer error"},
        {INT32_MAX, "Other transfer error"},
    };
    for (const Case& c : cases) EXPECT_EQ(describe(c.code), c.text) << c.code;
}

TEST_F(UsbAccess, FailuresBecomeUsbRecordsWithLibusbsCode) {
    EXPECT_FALSE(io::setUsbError(LIBUSB_ERROR_PIPE));
    const uint8_t expected[] = {24,   0,    0,    0,    0x38, 0x07, 0xEA, 0x87, 0xE9, 0x52, 0x69, 0x47,
                                0xB7, 0x27, 0x7A, 0x17, 0x37, 0x7B, 0x92, 0x1E, 0xF7, 0xFF, 0xFF, 0xFF};
    err::ErrorRef e = err::getLastError();
    ASSERT_EQ(e.size(), sizeof expected);
    EXPECT_EQ(0, std::memcmp(e.data(), expected, sizeof expected));
}

TEST_F(UsbAccess, InitTwiceLeavesOneDefaultContext) {
    load("");
    events.stop();  // nothing may be inside libusb while its context goes
    EXPECT_TRUE(context.init());
    EXPECT_TRUE(context.held());
    EXPECT_EQ(qwsim::counters().defaultContextRefs, 1);
    context.exit();
    context.exit();
    EXPECT_EQ(qwsim::counters().defaultContextRefs, 0);
}

TEST_F(UsbAccess, HandleEventsGivesLibusbMicrosecondsOrBlocks) {
    load("speed 10000\ntrace events\n");
    events.stop();  // only this thread handles events here
    qwsim::clearRecordedLines();
    for (uint32_t ms : {500u, 7u, 1500u, io::UsbContext::kInfinite}) EXPECT_TRUE(context.handleEvents(ms)) << ms;
    EXPECT_EQ(recorded("events"), (std::vector<std::string>{"events timeout_us=500000", "events timeout_us=7000",
                                                            "events timeout_us=1500000", "events blocking"}));
}

TEST_F(UsbAccess, EventThreadSeesTheStopWithinOnePass) {
    load("speed 50\ntrace events\n");  // a 500 ms pass lasts 10 ms
    ASSERT_TRUE(events.running());
    // Let it run a few passes, then stop it.
    while (recorded("events timeout_us=500000").size() < 2) context.handleEvents(1);
    qwsim::note("stop");
    events.stop();
    EXPECT_FALSE(events.running());
    std::vector<std::string> lines = qwsim::recordedLines();
    auto mark = std::find(lines.begin(), lines.end(), "note stop");
    ASSERT_NE(mark, lines.end());
    // The pass under way when the flag was set may have begun after the note; no other.
    EXPECT_LE(std::count(mark, lines.end(), "events timeout_us=500000"), 1);
}

TEST_F(UsbAccess, StopInterruptsThePassUnderWay) {
    load("trace events\n");  // real time: a pass would last the full 500 ms
    ASSERT_TRUE(events.running());
    while (recorded("events timeout_us=500000").empty()) context.handleEvents(1);
    auto begin = std::chrono::steady_clock::now();
    events.stop();
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_FALSE(events.running());
    EXPECT_EQ(recorded("events interrupt").size(), 1u);
    // Far below a pass, even on a loaded machine.
    EXPECT_LT(took, std::chrono::milliseconds(400));
}

TEST_F(UsbAccess, ControlTransferTimeoutsAndResults) {
    load(std::string(kOneDevice) + "control 0xc0 3 reply 0a0b\nfail control 0x40 9 busy\n");
    io::UsbDevice dev;
    ASSERT_TRUE(dev.openByVidPid(kTestVid, kTestPid));
    uint8_t data[4] = {1, 2, 3, 4};
    struct Case {
        uint8_t type, request;
        uint32_t timeout;
        int64_t result;
        const char* timeoutSeen;
    } cases[] = {
        {0x40, 1, 0xFFFFFFFF, 4, "timeout=0 "},
        {0x40, 1, 0, 4, "timeout=0 "},
        {0x40, 1, 250, 4, "timeout=250 "},
        {0xc0, 3, 0, 2, "timeout=0 "},
        {0x40, 9, 0, -1, "timeout=0 "},
    };
    for (const Case& c : cases) {
        qwsim::clearRecordedLines();
        err::setError(err::noError());
        EXPECT_EQ(dev.controlTransfer(c.type, c.request, 0, 0, data, 4, c.timeout), c.result) << int{c.request};
        std::vector<std::string> lines = recorded("control");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(c.timeoutSeen), std::string::npos) << lines[0];
        if (c.result < 0) expectLastError(err::kUsbDomain, static_cast<uint32_t>(LIBUSB_ERROR_BUSY));
    }
}

TEST_F(UsbAccess, SetDeviceKeepsTheHandleOfTheSameDeviceOnly) {
    load(std::string(kOneDevice) + "device 16d0:0f3b\n");
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 2);
    libusb_device* second = list[1];
    io::UsbDevice dev;
    dev.setDevice(list[0]);
    ASSERT_TRUE(dev.open());
    libusb_device_handle* h = dev.handle();
    dev.setDevice(list[0]);
    EXPECT_EQ(dev.handle(), h);
    EXPECT_EQ(qwsim::counters().openHandles, 1u);
    dev.setDevice(list[1]);
    EXPECT_EQ(dev.handle(), nullptr);
    EXPECT_EQ(qwsim::counters().openHandles, 0u);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(qwsim::counters().deviceRefs, 1);  // the one the wrapper holds
    EXPECT_EQ(dev.device(), second);
    dev.setDevice(nullptr);
    EXPECT_EQ(qwsim::counters().deviceRefs, 0);
}

TEST_F(UsbAccess, OpenByVidPidFailsWithFileNotFoundAndSwapsReferences) {
    load(std::string(kOneDevice) + "device 1234:0001\n");
    io::UsbDevice dev;
    EXPECT_FALSE(dev.openByVidPid(0x1111, 0x2222));
    expectLastError(err::kWinDomain, err::kWinFileNotFound);
    ASSERT_TRUE(dev.openByVidPid(0x1234, 0x0001));
    ASSERT_TRUE(dev.openByVidPid(kTestVid, kTestPid));
    // The first device's reference went with its handle.
    EXPECT_EQ(qwsim::counters().deviceRefs, 2);  // one held, one for the open handle
    EXPECT_EQ(qwsim::counters().openHandles, 1u);
}

TEST_F(UsbAccess, TransferAllocationAndSubmissionFailures) {
    load("fail alloc 2\ndevice 16d0:0f3b\nendpoint 0x81\nfail submit 1 nodevice\n");
    io::UsbTransfer t;
    ASSERT_TRUE(t.create(0));
    EXPECT_FALSE(t.create(0));  // the first was freed, the second allocation fails
    expectLastError(err::kWinDomain, err::kWinNoSystemResources);
    EXPECT_EQ(qwsim::counters().liveTransfers, 0u);
    ASSERT_TRUE(t.create(0));
    io::UsbDevice dev;
    ASSERT_TRUE(dev.openByVidPid(kTestVid, kTestPid));
    uint8_t buffer[8];
    libusb_fill_bulk_transfer(t.get(), dev.handle(), 0x81, buffer, 8, [](libusb_transfer*) {}, nullptr, 0);
    EXPECT_FALSE(t.submit());
    expectLastError(err::kUsbDomain, static_cast<uint32_t>(LIBUSB_ERROR_NO_DEVICE));
    EXPECT_FALSE(t.cancel());
    expectLastError(err::kUsbDomain, static_cast<uint32_t>(LIBUSB_ERROR_NOT_FOUND));
}
