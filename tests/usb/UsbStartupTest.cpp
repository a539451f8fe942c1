// The process-wide USB layer: started once, torn down at process exit with the
// event thread joined before libusb_exit. Only a process exit shows that, so the
// test runs in a child process.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "UsbTestSupport.h"
#include "usb/UsbStartup.h"

namespace {

std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

}  // namespace

TEST(UsbStartup, ProcessExitStopsTheEventThreadBeforeLibusbExits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::filesystem::path file = std::filesystem::temp_directory_path() / "qw-usb-startup-record.txt";
    std::filesystem::remove(file);
    std::string scenario = "speed 50\ntrace events\nrecord \"" + file.generic_string() + "\"\n";
    EXPECT_EXIT(
        {
            std::string error;
            if (!qwsim::loadScenario(scenario, &error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                std::_Exit(3);
            }
            vek::io::startUsbLayer();
            // The event thread is running; wait for its first pass, then leave.
            while (qwsim::counters().eventPasses == 0) {
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");

    std::vector<std::string> lines = readLines(file);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "init");
    EXPECT_EQ(lines[1], "events timeout_us=500000");
    // Nothing inside libusb when it exits, and nothing after.
    EXPECT_EQ(lines.back(), "exit refs=0 busy=0 handles=0 transfers=0");
    for (const std::string& l : lines) EXPECT_EQ(l.rfind("misuse", 0), std::string::npos) << l;
    std::filesystem::remove(file);
}

TEST(UsbStartup, RegistersTheUsbErrorTexts) {
    // The provider may be registered already by other tests; a fresh registration
    // by startUsbLayer must describe USB records either way.
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, no earlier registration
    vek::err::Error e = vek::err::Error::fromCode(vek::err::kUsbDomain, static_cast<uint32_t>(-4));
    EXPECT_EXIT(
        {
            qwsim::loadScenario("speed 50\n", nullptr);
            vek::io::startUsbLayer();
            std::fprintf(stderr, "%s", vek::err::getErrorDescription(e.ref()).c_str());
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "No such device");
}
