// The FPGA controllers on the simulator's fpga model: firmware uploads (upload-only
// runs and host commands) and the I2C and SPI captures with their host commands.
#include <sstream>

#include "fpga/I2cPlimController.h"
#include "fpga/SpiPlimController.h"
#include "support/TempDir.h"
#include "support/UsbSimTest.h"

using namespace vek;

namespace {

// Header: version 1.2.3.4, tag "qw-test"; then a counting payload.
Bytes rpd(size_t size) {
    Bytes b = cat({Bytes(4), {1, 2, 3, 4}, Bytes(8), bytesOf("qw-test"), Bytes(9)});
    for (size_t i = 32; i < size; ++i) b.push_back(uint8_t(i - 32));
    b.resize(size);
    return b;
}

std::vector<int> codes(const MemoryTransport& t) {
    std::vector<int> out;
    for (const HostMessage& m : parseMessages(t.output())) out.push_back(m.code);
    return out;
}

// The device commands the program sent, in order.
std::vector<std::string> deviceCommands() {
    std::vector<std::string> out;
    for (const std::string& l : recorded("out dev=dev0 ep=0x02 ")) out.push_back(l.substr(l.rfind("data=") + 5));
    return out;
}

uint32_t errorCode(const HostMessage& m) { return err::ErrorRef(m.payload.data(), m.payload.size()).code(); }

size_t countRecorded(const std::string& part) {
    size_t n = 0;
    for (const std::string& l : qwsim::recordedLines()) n += l.find(part) != std::string::npos;
    return n;
}

}  // namespace

class FpgaTest : public UsbSimTest {
protected:
    // The I2C/SPI Plim with its flash dumped to `dump`, and whatever else `extra` says.
    void loadDevice(const std::string& extra) {
        load("device 16d0:0e27 model=fpga\nversion 9.8.7.6\ndump \"" + std::filesystem::path(dump).generic_string() +
             "\"\n" + extra + "\n");
    }
    std::string firmware(size_t size) {
        writeFileBytes(dir.path("f.rpd"), rpd(size));
        return dir.path("f.rpd");
    }
    // An upload-only run of an I2C controller: its result, the error and the console.
    std::tuple<bool, std::string, std::string> uploadOnly(size_t size, uint64_t base = kNoLimit) {
        Settings s;
        s.flags = kFlagFirmwareUploadOnly;
        s.firmwareFileName = firmware(size);
        s.fpgaBaseIndex = base;
        MemoryTransport out;
        testing::internal::CaptureStdout();
        bool ok = I2cPlimController(&s).run(&out, nullptr);
        std::string error = ok ? "" : err::getLastErrorDescription();
        EXPECT_TRUE(out.output().empty());  // the host hears nothing of an upload-only run
        return {ok, error, testing::internal::GetCapturedStdout()};
    }

    TempDir dir;
    std::string dump = dir.path("flash.bin");
};

TEST_F(FpgaTest, UploadOnlyRunsEndWithTheUploadAndFailWithIt) {
    const std::string done = "Starting firmware...\n", report = "\nBase:   0x1000\nAtom:   0x";
    // {device, file size, base, error (empty: success), the console's end, the 0x53 requests}
    const std::tuple<const char*, size_t, uint64_t, std::string, std::string, std::vector<std::string>> cases[] = {
        {"", 32, kNoLimit, "", "Uploading firmware...\n\b\b\b\b100%\nUpload completed (32 B)\n" + done, {}},
        {"", 100, kNoLimit, "", "\b\b\b\b96%\b\b\b\b100%\b\b\b\b100%\nUpload completed (100 B)\n" + done,
         {"value=0x0010 index=0x1000 len=64", "value=0x0001 index=0x1010 len=4"}},
        {"", 100, 0x100, "", done, {"index=0x0100 len=64", "index=0x0110 len=4"}},
        // While preparing the status may still show an old failure; an erase clears it.
        {"error 0x0200 at open", 32, kNoLimit, "", done, {}},
        {"error 0x0200 at erase", 32, kNoLimit, "FPGA uploader status: 0x0200",
         "Erasing flash...\n" + report + "0\nOffset: 0x20\nError:  FPGA uploader status: 0x0200\n", {}},
        {"error 0x0200 at block 1", 100, kNoLimit, "FPGA uploader status: 0x0200",
         "\b\b\b\b96%" + report + "10\nOffset: 0x60\nError:  FPGA uploader status: 0x0200\n", {"index=0x1000 len=64"}},
        // Starting the firmware fails on each of 0x0800, 0x0200 and 0x0100, and on
        // nothing else; 0x0800 counts only from the start on.
        {"error 0x0800 at start", 32, kNoLimit, "FPGA uploader status: 0x0800",
         done + report + "0\nOffset: 0x20\nError:  FPGA uploader status: 0x0800\n", {}},
        {"error 0x0200 at start", 32, kNoLimit, "FPGA uploader status: 0x0200",
         done + report + "0\nOffset: 0x20\nError:  FPGA uploader status: 0x0200\n", {}},
        {"error 0x0100 at start", 32, kNoLimit, "FPGA uploader status: 0x0100",
         done + report + "0\nOffset: 0x20\nError:  FPGA uploader status: 0x0100\n", {}},
        {"error 0xe0ff at start", 32, kNoLimit, "", done, {}},
        {"error 0x0800 at block 1", 100, kNoLimit, "FPGA uploader status: 0x0800",
         "\b\b\b\b100%\nUpload completed (100 B)\n" + done + report + "11\nOffset: 0x64\nError:  FPGA uploader status: 0x0800\n",
         {"index=0x1000 len=64", "index=0x1010 len=4"}},
        {"fail control 0xc0 0x51 io nth=3", 32, kNoLimit, "Input/Output Error",
         done + report + "0\nOffset: 0x20\nError:  Input/Output Error\n", {}},
        // A failed request reports through the sink only.
        {"fail control 0x40 0x52 pipe", 32, kNoLimit, "Pipe error", "Erasing flash...\n", {}},
        // Nothing reaches the device for a file shorter than its header.
        {"", 31, kNoLimit, "firmware file " + dir.path("f.rpd") + " is shorter than its 32-byte header (31 bytes)", "", {}},
    };
    for (const auto& [device, size, base, failure, consoleEnd, expectedBlocks] : cases) {
        loadDevice(device);
        auto [ok, error, console] = uploadOnly(size, base);
        EXPECT_EQ(std::make_pair(ok, error), std::make_pair(failure.empty(), failure)) << device;
        const std::string header = size < 32 ? "" : "Uploading firmware: " + dir.path("f.rpd") +
            "\n  Device version: 9.8.7.6\n  File version:   1.2.3.4\n  File tag:       qw-test\n";
        EXPECT_TRUE(console.starts_with(header) && console.ends_with(consoleEnd)) << device << "\n" << console;
        EXPECT_EQ(countRecorded("req=0x50 "), size < 32 ? 0u : 1u);
        EXPECT_EQ(recorded("fpga refused "), std::vector<std::string>{}) << device;
        std::vector<std::string> blocks = recorded("control dev=dev0 type=0x40 req=0x53 ");
        ASSERT_EQ(blocks.size(), expectedBlocks.size()) << device;
        for (size_t i = 0; i < blocks.size(); ++i) EXPECT_NE(blocks[i].find(expectedBlocks[i]), std::string::npos) << blocks[i];
        if (ok) {
            // The payload lands at the base (in words), on erased flash.
            Bytes flash = readFileBytes(dump), payload = rpd(size);
            size_t at = 4 * (base == kNoLimit ? 0x1000 : base);
            EXPECT_EQ(Bytes(flash.begin() + at - 1, flash.begin() + at + size - 32), cat({{0xFF}, Bytes(payload.begin() + 32, payload.end())}));
        }
    }
}

TEST_F(FpgaTest, TheDeviceStallsUploaderRequestsItsFirmwareDoesNotTake) {
    loadDevice("flash 64K");
    vek::io::UsbDevice dev;
    ASSERT_TRUE(dev.openByVidPid(0x16d0, 0x0e27));
    uint8_t data[65] = {};
    // {type, request, value, index, length, the refusal ("": taken)}
    const std::tuple<uint8_t, uint8_t, uint16_t, uint16_t, uint16_t, const char*> cases[] = {
        {0xC0, 0x50, 0, 0, 4, ""}, {0xC0, 0x50, 0, 0, 3, "len 3, expected 4"},
        {0xC0, 0x50, 0, 0, 5, "len 5, expected 4"}, {0xC0, 0x50, 1, 0, 4, "value 0x0001, expected 0x0000"},
        {0x40, 0x50, 0, 0, 4, "type 0x40, expected 0xc0"}, {0xC0, 0x51, 0, 0, 4, ""},
        {0xC0, 0x51, 0, 0, 2, "len 2, expected 4"}, {0xC0, 0x51, 0, 0x100, 4, "index 0x0100, expected 0x0000"},
        {0x40, 0x52, 0, 0, 0, ""}, {0x40, 0x52, 0x100, 0, 0, "value 0x0100, expected 0x0000"},
        {0x40, 0x52, 0, 1, 0, "index 0x0001, expected 0x0000"}, {0x40, 0x52, 0, 0, 1, "len 1, expected 0"},
        {0xC0, 0x52, 0, 0, 0, "type 0xc0, expected 0x40"}, {0x40, 0x53, 16, 0x1000, 64, ""},
        {0x40, 0x53, 1, 0x1010, 7, ""},  // a trailing piece of a word is not counted
        {0x40, 0x53, 15, 0x1000, 64, "value 0x000f, expected 0x0010"},
        {0x40, 0x53, 2, 0x1000, 7, "value 0x0002, expected 0x0001"}, {0x40, 0x53, 16, 0x1000, 65, "len 65, at most 64"},
        {0xC0, 0x53, 16, 0x1000, 64, "type 0xc0, expected 0x40"},
        {0x40, 0x53, 16, 0x3FF0, 64, ""},  // the flash's last 64 bytes
        {0x40, 0x53, 1, 0x3FFF, 4, ""}, {0x40, 0x53, 16, 0x3FF1, 64, "block past the flash's end"},
        {0x40, 0x54, 0, 0, 0, ""}, {0x40, 0x54, 1, 0, 0, "value 0x0001, expected 0x0000"},
        {0x40, 0x54, 0, 0x1000, 0, "index 0x1000, expected 0x0000"}, {0x40, 0x54, 0, 0, 4, "len 4, expected 0"},
        {0x40, 0x55, 0, 0, 0, "not a request of the device"},
    };
    for (const auto& [type, request, value, index, length, refusal] : cases) {
        qwsim::clearRecordedLines();
        int64_t result = dev.controlTransfer(type, request, value, index, data, length, 0);
        const std::string why = refusal;
        EXPECT_EQ(result, why.empty() ? int64_t{length} : -1) << why;
        char stall[32];
        std::snprintf(stall, sizeof stall, "fpga refused req=0x%02x: ", request);
        EXPECT_EQ(recorded("fpga refused "), why.empty() ? std::vector<std::string>{} : std::vector<std::string>{stall + why});
        std::vector<std::string> control = recorded("control ");
        ASSERT_EQ(control.size(), 1u);
        EXPECT_NE(control[0].find(" result=" + (why.empty() ? std::to_string(length) : "-9") + " "), std::string::npos)
            << control[0];
    }
    dev.close();
}

TEST_F(FpgaTest, AStatusReplyWithoutItsWordIsAFailedRead) {
    // Read as "ready, no error", it would let the upload run on blind.
    load("device 16d0:0e27\nendpoint 0x86\ncontrol 0xc0 0x50 reply 01020304\ncontrol 0xc0 0x51 reply 00\n");
    EXPECT_EQ(std::get<1>(uploadOnly(32)), "FPGA uploader status: 1-byte reply");
    EXPECT_EQ(countRecorded("req=0x52 "), 0u);
}

TEST_F(FpgaTest, ABusyDeviceIsPolledInBurstsOfTenWithPausesBetween) {
    loadDevice("busy 15");  // every step: ten busy reads, a pause, five busy and one ready
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(std::get<0>(uploadOnly(32)));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(3 * 100));
    EXPECT_EQ(countRecorded("req=0x51 "), 3 * 16u);  // preparing, erasing, starting
}

// The host hears of an upload's progress and end. A session that ends during
// the upload waits for it: cut short, it would leave the flash half written.
TEST_F(FpgaTest, HostStartedUploadsReportToTheHostAndTheEndOfTheSessionWaitsForThem) {
    // {SPI, device, file size, the session ends at once, the progress, the error (null: done)}
    const std::tuple<bool, const char*, size_t, bool, Bytes, const char*> cases[] = {
        {false, "", 100, false, {96, 100}, nullptr},
        {true, "error 0x0200 at block 2", 100, false, {96, 100}, "FPGA uploader status: 0x0200"},
        {false, "busy 15", 32 + 5 * 64, true, {27, 45, 63, 81, 100}, nullptr},  // about 100 ms a step
    };
    const uint8_t kProgress = FpgaUploaderTransportEventSink::kMsgUploadProgress;
    for (const auto& [spi, device, size, atOnce, progress, error] : cases) {
        SCOPED_TRACE(device);
        loadDevice(device);
        Settings s;
        s.flags = kFlagSuspend;
        s.firmwareFileName = firmware(size);
        auto c = spi ? std::unique_ptr<ControllerBase>(std::make_unique<SpiPlimController>(&s))
                     : std::unique_ptr<ControllerBase>(std::make_unique<I2cPlimController>(&s));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ControllerSession session(*c);
        EXPECT_EQ(session.send(frame(spi ? 23 : 17)).code, kMsgDone);  // answered at once
        const size_t progressCount = progress.size();  // a lambda cannot take a structured binding
        EXPECT_TRUE(atOnce || waitUntil([&] { return codes(session.out).size() > progressCount; }));
        // The host has heard of a failed upload; the run still fails with it.
        EXPECT_EQ(session.end(), error == nullptr);
        testing::internal::GetCapturedStdout();
        const std::string notice = testing::internal::GetCapturedStderr();
        std::vector<HostMessage> m = parseMessages(session.out.output());
        ASSERT_EQ(m.size(), progress.size() + 1) << testing::PrintToString(codes(session.out));
        for (size_t i = 0; i < progress.size(); ++i)
            EXPECT_EQ(std::make_pair(m[i].code, m[i].payload), std::make_pair(kProgress, Bytes{progress[i]})) << i;
        EXPECT_EQ(m.back().code, error ? kMsgError : kMsgDone);
        if (error) {
            EXPECT_EQ(err::getErrorDescription(err::ErrorRef(m.back().payload.data(), m.back().payload.size())), error);
        }
        EXPECT_EQ(countRecorded("req=0x54 "), error ? 0u : 1u);
        if (!atOnce) continue;
        EXPECT_TRUE(notice.starts_with("firmware upload of " + s.firmwareFileName + " is finishing (") &&
                    notice.ends_with(" of 5 blocks written); Ctrl-C abandons it\n")) << notice;
        Bytes flash = readFileBytes(dump), payload = rpd(size);
        EXPECT_EQ(Bytes(flash.begin() + 0x4000, flash.begin() + 0x4000 + size - 32), Bytes(payload.begin() + 32, payload.end()));
    }
}

// The block index is 16 bits: a file whose last block would start past 0xFFFF
// would wrap onto the flash's start. It is refused before the device hears of it.
TEST_F(FpgaTest, AFileBeyondTheSixteenBitBlockIndexIsRefused) {
    const std::tuple<uint64_t, size_t, size_t> cases[] = {  // {base, size, limit (0: fits)}
        {0xFF00, 32 + 16 * 64, 0}, {0xFF00, 32 + 16 * 64 + 1, 32 + 16 * 64},
        {0xFFF0, 96, 0}, {0xFFF1, 96, 0}, {0xFFF1, 97, 96}, {0xFFFF, 96, 0}, {0xFFFF, 97, 96},
        {0x10000, 32, 0}, {0x10000, 33, 32},
        {kNoLimit, 245793, 245792},  // the default base 0x1000
    };
    for (const auto& [base, size, limit] : cases) {
        loadDevice("");
        auto [ok, error, console] = uploadOnly(size, base);
        unsigned shown = base == kNoLimit ? 0x1000u : static_cast<unsigned>(base);
        EXPECT_EQ(error, limit == 0 ? "" : "firmware file " + dir.path("f.rpd") + " is too large: " + std::to_string(size) +
                  " bytes, at most " + std::to_string(limit) + " at base 0x" + (std::ostringstream() << std::hex << shown).str())
            << base << " " << size;
        EXPECT_EQ(countRecorded("req=0x50 "), limit == 0 ? 1u : 0u);
        std::vector<std::string> blocks = recorded("control dev=dev0 type=0x40 req=0x53 ");
        if (limit == 0 && size > 32) {
            // The last block starts at or below the index's top.
            char last[32];
            std::snprintf(last, sizeof last, "index=0x%04x", static_cast<unsigned>(base + (size - 33) / 64 * 16));
            ASSERT_FALSE(blocks.empty());
            EXPECT_NE(blocks.back().find(last), std::string::npos) << blocks.back();
        }
    }
}

TEST_F(FpgaTest, I2cCaptureStopsAndRestartsByCommand) {
    // One transaction per read, for as long as the capture is on.
    loadDevice("bytes 002a40214275\nchunk 6\nrate 6000\nthen repeat");
    Settings s;
    s.readParallelism = 2;
    I2cPlimController c(&s);
    ControllerSession session(c);
    ASSERT_TRUE(waitUntil([&] { return codes(session.out).size() >= 10; }));
    EXPECT_EQ(session.send(frame(19)).code, kMsgDone);
    size_t stopped = codes(session.out).size();
    EXPECT_EQ(session.send(frame(18)).code, kMsgDone);
    EXPECT_TRUE(waitUntil([&] { return codes(session.out).size() >= stopped + 10; }));
    EXPECT_EQ(errorCode(session.send(frame(24))), err::kWinInvalidParameter);
    EXPECT_TRUE(session.end());
    EXPECT_EQ(deviceCommands(), (std::vector<std::string>{"aa", "55", "aa", "aa", "55"}));
    std::vector<int> all = codes(session.out);
    for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], (std::vector<int>{10, 11, 15, 9, 13}[i % 5])) << i;
}

TEST_F(FpgaTest, SpiCaptureStartsByCommandWithTheHostsParameters) {
    loadDevice("bytes 11322344\nchunk 4\nrate 4000\nthen repeat");
    Settings s;
    s.flags = kFlagSuspend;  // nothing goes to the device until the host says so
    SpiPlimController c(&s);
    ControllerSession session(c);
    EXPECT_EQ(errorCode(session.send(frame(24, {1, 8, 1}))), err::kWinInsufficientBuffer);
    EXPECT_EQ(errorCode(session.send(frame(17))), err::kWinInvalidParameter);
    EXPECT_EQ(session.send(frame(24, {1, 8, 1, 0})).code, kMsgDone);  // mode 1, little-endian
    EXPECT_TRUE(waitUntil([&] { return codes(session.out).size() >= 3; }));
    EXPECT_EQ(session.send(frame(25)).code, kMsgDone);
    EXPECT_TRUE(session.end());
    EXPECT_EQ(deviceCommands(), (std::vector<std::string>{"aa", "71", "aa"}));
    for (const HostMessage& m : parseMessages(session.out.output())) EXPECT_EQ(m.payload, (Bytes{0x13, 0x24}));
}
