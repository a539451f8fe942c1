// The libusb access layer: error texts and records, event handling, the device and
// transfer wrappers, and the process-wide start-up and exit.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "UsbTestSupport.h"
#include "usb/UsbDevice.h"
#include "usb/UsbStartup.h"

using namespace vek;

namespace {

void expectLastError(const Guid& domain, int code) {
    EXPECT_EQ(err::getLastError().guid(), domain);
    EXPECT_EQ(err::getLastError().code(), static_cast<uint32_t>(code));
}

}  // namespace

class UsbAccess : public UsbSimTest {};

TEST_F(UsbAccess, DescribesErrorCodesAndTransferStatuses) {
    struct {
        int code;
        const char* text;
    } cases[] = {
        {0, "Success"}, {-1, "Input/Output Error"}, {-2, "Invalid parameter"},
        {-3, "Access denied (insufficient permissions)"}, {-4, "No such device (it may have been disconnected)"},
        {-5, "Entity not found"}, {-6, "Resource busy"}, {-7, "Operation timed out"}, {-8, "Overflow"},
        {-9, "Pipe error"}, {-10, "System call interrupted (perhaps due to signal)"}, {-11, "Insufficient memory"},
        {-12, "Operation not supported or unimplemented on this platform"}, {-13, "Other error"},
        {-14, "Other error"}, {INT32_MIN, "Other error"}, {1, "Transfer failed"}, {2, "Transfer timed out"},
        {3, "Transfer was cancelled"}, {4, "Endpoint stalled"}, {5, "Device was disconnected"},
        {6, "Device sent more data than requested"}, {7, "Other transfer error"}, {INT32_MAX, "Other transfer error"},
    };
    for (const auto& c : cases) {
        err::Error e = err::Error::fromCode(err::kUsbDomain, static_cast<uint32_t>(c.code));
        EXPECT_EQ(err::getErrorDescription(e.ref()), c.text) << c.code;
    }
    // A failure becomes a USB-domain record carrying libusb's code.
    EXPECT_FALSE(io::setUsbError(LIBUSB_ERROR_PIPE));
    const std::vector<uint8_t> expected = {24,   0,    0,    0,    0x38, 0x07, 0xEA, 0x87, 0xE9, 0x52, 0x69, 0x47,
                                           0xB7, 0x27, 0x7A, 0x17, 0x37, 0x7B, 0x92, 0x1E, 0xF7, 0xFF, 0xFF, 0xFF};
    err::ErrorRef e = err::getLastError();
    EXPECT_EQ(std::vector<uint8_t>(e.data(), e.data() + e.size()), expected);
}

TEST_F(UsbAccess, HandleEventsGivesLibusbMicrosecondsOrBlocks) {
    load("speed 10000\ntrace events\n");
    events.stop();  // only this thread handles events here
    qwsim::clearRecordedLines();
    for (uint32_t ms : {7u, 1500u, io::UsbContext::kInfinite}) EXPECT_TRUE(io::UsbContext::handleEvents(nullptr, ms));
    EXPECT_EQ(recorded("events"), (std::vector<std::string>{"events timeout_us=7000", "events timeout_us=1500000",
                                                            "events blocking"}));
}

TEST_F(UsbAccess, EventThreadStopInterruptsThePassUnderWay) {
    load("speed 1\ntrace events\n");  // real time: a pass would last the full 500 ms
    while (recorded("events timeout_us=500000").empty()) io::UsbContext::handleEvents(nullptr, 1);
    auto begin = std::chrono::steady_clock::now();
    events.stop();
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(recorded("events interrupt").size(), 1u);
    EXPECT_LT(took, std::chrono::milliseconds(400));  // far below a pass, even on a loaded machine
}

TEST_F(UsbAccess, WrappersReportFailuresInTheirDomains) {
    load("fail alloc 2\ndevice 1234:0001\ndevice 16d0:0f3b\nfail claim busy\nfail control 0x40 9 busy\n");
    io::UsbTransfer t;
    ASSERT_TRUE(t.create(0));
    EXPECT_FALSE(t.create(0));  // the first was freed, the second allocation fails
    expectLastError(err::kWinDomain, err::kWinNoSystemResources);

    io::UsbDevice dev;
    EXPECT_FALSE(dev.openByVidPid(0x1111, 0x2222));
    expectLastError(err::kWinDomain, err::kWinFileNotFound);
    ASSERT_TRUE(dev.openByVidPid(0x1234, 0x0001));
    ASSERT_TRUE(dev.openByVidPid(kTestVid, kTestPid));
    // The first device's reference went with its handle.
    EXPECT_EQ(qwsim::counters().deviceRefs, 2);  // one held, one for the open handle
    EXPECT_FALSE(dev.claimInterface(0));
    expectLastError(err::kUsbDomain, LIBUSB_ERROR_BUSY);

    // "No limit" is 0 to libusb.
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(dev.controlTransfer(0x40, 1, 0, 0, data, 4, 0xFFFFFFFF), 4);
    EXPECT_EQ(dev.controlTransfer(0x40, 1, 0, 0, data, 4, 250), 4);
    EXPECT_EQ(dev.controlTransfer(0x40, 9, 0, 0, data, 4, 0), -1);
    expectLastError(err::kUsbDomain, LIBUSB_ERROR_BUSY);
    std::vector<std::string> lines = recorded("control");
    ASSERT_EQ(lines.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_NE(lines[i].find(i == 1 ? "timeout=250 " : "timeout=0 "), std::string::npos);
}

// Only a process exit shows the exit order, so this runs in a child process.
TEST(UsbStartup, ProcessExitStopsTheEventThreadBeforeLibusbExits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: nothing registered before
    std::filesystem::path file = std::filesystem::temp_directory_path() / "qw-usb-startup-record.txt";
    std::filesystem::remove(file);
    std::string scenario = "speed 50\ntrace events\nrecord \"" + file.generic_string() + "\"\n";
    EXPECT_EXIT(
        {
            if (!qwsim::loadScenario(scenario, nullptr)) std::_Exit(3);
            io::startUsbLayer();
            // Start-up registered the USB error texts.
            std::fputs(err::getErrorDescription(err::Error::fromCode(err::kUsbDomain, 5).ref()).c_str(), stderr);
            while (qwsim::counters().eventPasses == 0) {
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "Device was disconnected");
    std::string text;
    {
        std::ifstream in(file);  // text mode: the record has the platform's line ends
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(text.rfind("init\nevents timeout_us=500000\n", 0), 0u) << text;
    // Nothing inside libusb when it exits, and nothing after.
    EXPECT_TRUE(text.ends_with("\nexit refs=0 busy=0 handles=0 transfers=0\n")) << text;
    EXPECT_EQ(text.find("misuse"), std::string::npos) << text;
    std::filesystem::remove(file);
}
