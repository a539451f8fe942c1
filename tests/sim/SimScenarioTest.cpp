#include <cstdio>
#include <filesystem>
#include <fstream>

#include "SimFixture.h"

namespace {

namespace fs = std::filesystem;

fs::path tempDir() {
    fs::path dir = fs::temp_directory_path() / ("qwsim-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    return dir;
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

}  // namespace

TEST(SimScenario, ReportsEachProblemWithItsLine) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"endpoint 0x81", "line 1: 'endpoint' outside a device"},
        {"\n\ndevice 12345:1", "line 3: expected 'device VID:PID' in hex, e.g. 'device 16d0:0f3b'"},
        {"device 1:2 model=toaster", "line 1: unknown model 'toaster'"},
        {"device 1:2\nfrobnicate 3", "line 2: unknown statement 'frobnicate'"},
        {"device 1:2\nbytes 01", "line 2: 'bytes' needs an IN endpoint line before it"},
        {"device 1:2\nendpoint 0x81\nbytes 0g", "line 3: bad hex bytes '0g'"},
        {"device 1:2\nendpoint 0x81\ntext \"open", "line 3: unterminated quote"},
        {"device 1:2\nendpoint 0x81\nthen explode", "line 3: expected 'then silent|zlp|stall|repeat'"},
        {"device 1:2\nendpoint 0x81\norder 1 1", "line 3: 'order' needs each of 1..N once"},
        {"device 1:2\nstatus 1 stall", "line 2: 'status' needs an endpoint line before it"},
        {"device 1:2\nendpoint 0x81\nendpoint 0x81", "line 3: endpoint 0x81 appears twice"},
        {"device 1:2\nendpoint 0x81\nfile no-such-file.bin", "line 3: cannot read the file 'no-such-file.bin'"},
        {"device 1:2\nfail control 0x40 1 -0", "line 2: expected 'fail control TYPE REQUEST ERROR [nth=N]'"},
        {"device 1:2\ndisconnect after 3 minutes", "line 2: expected 'disconnect after N transfers|bytes'"},
        {"speed 0", "line 1: expected 'speed FACTOR' with a factor above 0"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(qwsim::loadScenario(c.text, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(SimScenario, TakesCommentsQuotesNamesAndNumberForms) {
    std::string error;
    ASSERT_TRUE(qwsim::loadScenario(R"(# two devices
device 16d0:0f3b serial="A 1" name=left   # trailing comment
  endpoint 0x81 bulk maxpacket=64
    text "a # is not a comment"
    pattern fill 0x55 1K
    chunk 0x10
  control 0xc0 2 value=0x0001 reply 0x0102 03
device 16D0:0F3B model=generic
)",
                                    &error))
        << error;
}

TEST(SimScenario, FileScenarioNamesFilesFromItsFolderAndReportsItsPath) {
    fs::path dir = tempDir();
    writeFile(dir / "data.bin", "xyz");
    writeFile(dir / "good.sim", "device 1:2\nendpoint 0x81\nfile data.bin\n");
    writeFile(dir / "bad.sim", "device 1:2\nendpoint 0x81 isochronous\n");
    std::string error;
    EXPECT_TRUE(qwsim::loadScenarioFile((dir / "good.sim").string(), &error)) << error;
    EXPECT_FALSE(qwsim::loadScenarioFile((dir / "bad.sim").string(), &error));
    EXPECT_EQ(error, (dir / "bad.sim").string() + ":2: unknown endpoint option 'isochronous'");
    EXPECT_FALSE(qwsim::loadScenarioFile((dir / "none.sim").string(), &error));
    EXPECT_EQ(error, (dir / "none.sim").string() + ": cannot read the scenario");
    fs::remove_all(dir);
}

class SimLoad : public SimTest {};

TEST_F(SimLoad, IsRefusedWhileTheProgramStillUsesTheBus) {
    load("device 1:2\nendpoint 0x81\n");
    std::string error;
    EXPECT_FALSE(qwsim::loadScenario("", &error));
    EXPECT_EQ(error, "a libusb context is still open");

    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_device* kept = libusb_ref_device(list[0]);
    libusb_free_device_list(list, 1);
    libusb_transfer* t = libusb_alloc_transfer(0);
    exitContext();

    EXPECT_FALSE(qwsim::loadScenario("", &error));
    EXPECT_EQ(error, "1 transfer(s) still allocated");
    libusb_free_transfer(t);
    EXPECT_FALSE(qwsim::loadScenario("", &error));
    EXPECT_EQ(error, "device dev0 is still referenced");
    libusb_unref_device(kept);
    EXPECT_TRUE(qwsim::loadScenario("", &error)) << error;
}
