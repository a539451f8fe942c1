// EZ-USB upload: the Intel HEX parser, and the upload on the simulator's ezusb
// model: the control sequence and each failure with a stand-in for the loader,
// and our loader itself running on the emulated chip.
#include <algorithm>
#include <cstdio>
#include <map>

#include "ezusb/EzUsbUpload.h"
#include "ezusb/IntelHex.h"
#include "foundation/Error.h"
#include "support/TempDir.h"
#include "support/UsbSimTest.h"

namespace {

TEST(IntelHex, ParsesAsTheLoaderImageIsRead) {
    // {text, image size or kIntelHexFailed, the error, bytes of the image}
    const std::tuple<std::string, size_t, const char*, std::map<size_t, uint8_t>> cases[] = {
        {"", kIntelHexFailed, "invalid hex format", {}}, {" :0100000011", kIntelHexFailed, "invalid hex format", {}},
        // Gaps read 0xFF; no checksum needed; the record order is free.
        {":0100040044:020000001122", 5, nullptr, {{0, 0x11}, {1, 0x22}, {2, 0xFF}, {3, 0xFF}, {4, 0x44}}},
        {":02FFFD00AABB", 0xFFFF, nullptr, {{0xFFFD, 0xAA}, {0xFFFE, 0xBB}}},
        {":03FFFD00AABBCC", kIntelHexFailed, "hex line offset out of range", {}}, {":00FFFF00", 0xFFFF, nullptr, {}},
        {":0110000055:00FFFF01:0110000066", 0x1001, nullptr, {{0x1000, 0x66}}},  // end-of-file ends nothing
        {":02000004FFFF:0100000177", 0, nullptr, {}},  // other types are ignored
        {":010203:::0100020033", 3, nullptr, {{2, 0x33}}},  // records under 4 bytes too
        {": 01 00\n01 00\t7A\r\n", 2, nullptr, {{0, 0xFF}, {1, 0x7A}}},
        {":0100000012zz34:01000100", kIntelHexFailed, "hex line size out of range", {}},
        {":0200000012 zz34", kIntelHexFailed, "hex line size out of range", {}},
        {":020000001 234", kIntelHexFailed, "hex line size out of range", {}},  // no blank inside a pair
        {":02000000123", kIntelHexFailed, "hex line size out of range", {}}, {":0100000012zz", 1, nullptr, {{0, 0x12}}},
    };
    for (const auto& [text, size, error, bytes] : cases) {
        Bytes image;
        EXPECT_EQ(parseIntelHex(text, image), size) << text;
        if (error) {
            EXPECT_EQ(vek::err::getLastErrorDescription(), error) << text;
            continue;
        }
        EXPECT_EQ(image.size(), size) << text;
        for (auto [address, value] : bytes) EXPECT_EQ(image.at(address), value) << text << " @" << address;
    }
    // Our loader, as embedded, with room to spare in the smallest FX2's 8 KiB.
    Bytes loader;
    EXPECT_EQ(parseIntelHex(kEzUsbLoaderHex, loader), kEzUsbLoaderImageSize);
    EXPECT_GT(kEzUsbLoaderImageSize, 0u);
    EXPECT_LE(kEzUsbLoaderImageSize, 4096u);
}

// A loader image of 0x1404 bytes: RAM chunks of 2048, 2048 and 1028.
const char kTestLoader[] = ":0100000011:04140000AABBCCDD";

Bytes counter(size_t n) { return counting(n, 7); }

class EzUsbUpload : public UsbSimTest {
protected:
    // Uploads `image` to a device of the scenario; the error's console line, or "ok".
    std::string upload(const std::string& device, const Bytes& image, const char* loader = kTestLoader) {
        bool fx2 = device.find("model=ezusb") != std::string::npos;
        load(device + (fx2 ? "dump ram \"" + dir.path("ram.bin") + "\"\ndump eeprom \"" + dir.path("eeprom.bin") + "\"\n"
                           : ""));
        if (::testing::Test::HasFatalFailure()) return "no scenario";
        writeFileBytes(dir.path("image.iic"), image);
        std::FILE* console = std::fopen(dir.path("console.txt").c_str(), "wb");
        vek::io::UsbDevice dev;
        bool ok = dev.openByVidPid(0x16d0, 0x0f3b) &&
                  uploadEzUsbConfig(dev, dir.path("image.iic"), {loader, 0, console});
        std::string result = ok ? "ok" : vek::err::getLastErrorMessage();
        dev.close();
        std::fclose(console);
        return result;
    }
    // Each control request as "TYPE REQ VALUE LEN RESULT".
    static std::vector<std::string> requests() {
        std::vector<std::string> out;
        for (const std::string& l : recorded("control ")) {
            unsigned type, request, value, length;
            int result;
            std::sscanf(l.c_str(), "control dev=%*s type=%x req=%x value=%x index=%*x len=%u timeout=%*u result=%d",
                        &type, &request, &value, &length, &result);
            char text[48];
            std::snprintf(text, sizeof text, "%02x %02x %04x %u %d", type, request, value, length, result);
            out.push_back(text);
        }
        return out;
    }

    TempDir dir;
};

const std::string kFx2 = "device 16d0:0f3b model=ezusb\n";
const std::string kScripted = kFx2 + "firmware scripted\n";  // whatever the loader, a stand-in serves 0xA2

TEST_F(EzUsbUpload, LoadsTheLoaderThenWritesAndVerifiesTheEeprom) {
    Bytes image = counter(10000);
    ASSERT_EQ(upload(kScripted, image), "ok");
    EXPECT_EQ(requests(), (std::vector<std::string>{
                              "40 a0 e600 1 1", "40 a0 0000 2048 2048", "40 a0 0800 2048 2048", "40 a0 1000 1028 1028",
                              "40 a0 e600 1 1", "40 a2 0000 4096 4096", "40 a2 1000 4096 4096", "40 a2 2000 1808 1808",
                              "c0 a2 0000 4096 4096", "c0 a2 1000 4096 4096", "c0 a2 2000 1808 1808"}));
    EXPECT_NE(recorded("control ")[4].find(" data=00"), std::string::npos);  // released last
    EXPECT_EQ(readFileBytes(dir.path("console.txt")),
              bytesOf("Preparing RAM...\nWriting EEPROM...\nVerifying EEPROM...\n"
                      "EZ-USB configuration uploaded successfully.\n"));
    Bytes ram = readFileBytes(dir.path("ram.bin"));
    EXPECT_EQ(Bytes(ram.begin(), ram.begin() + 3), (Bytes{0x11, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(ram.begin() + 0x13FF, ram.begin() + 0x1405), (Bytes{0xFF, 0xAA, 0xBB, 0xCC, 0xDD, 0x00}));
    Bytes eeprom = readFileBytes(dir.path("eeprom.bin"));
    ASSERT_EQ(eeprom.size(), 16384u);
    EXPECT_EQ(Bytes(eeprom.begin(), eeprom.begin() + 10000), image);
    EXPECT_EQ(eeprom[10000], 0xFF);

    qwsim::clearRecordedLines();
    vek::io::UsbDevice dev;
    ASSERT_TRUE(dev.openByVidPid(0x16d0, 0x0f3b));
    EXPECT_TRUE(writeVendorChunks(dev, kEzUsbRequestEeprom, 4096, image.data(), 0));
    EXPECT_TRUE(requests().empty());
}

TEST_F(EzUsbUpload, StopsAtTheFirstFailureWithWhatFailed) {
    const char* ours = kEzUsbLoaderHex;
    // {device, image size, loader, result, requests sent before it ended, a line the simulator recorded}
    const std::tuple<std::string, size_t, const char*, const char*, size_t, const char*> cases[] = {
        {kScripted + "eeprom 64K\n", 65536, kTestLoader, "ok", 37, nullptr},
        {kScripted + "eeprom 64K\n", 65537, kTestLoader, "EZ-USB image \"@\": larger than 65536 bytes", 0, nullptr},
        {kScripted, 0, kTestLoader, "EZ-USB image \"@\": the file is empty", 0, nullptr},
        {kScripted, 10, "0100000011", "the EZ-USB loader image: invalid hex format", 0, nullptr},
        {kScripted + "fail control 0x40 0xa0 pipe nth=1\n", 10, kTestLoader, "holding the EZ-USB CPU: Pipe error", 1, nullptr},
        {kScripted + "fail control 0x40 0xa0 io nth=3\n", 10, kTestLoader,
         "loading the EZ-USB loader into RAM: Input/Output Error", 3, nullptr},
        {kScripted + "fail control 0x40 0xa2 pipe nth=2\n", 10000, kTestLoader, "writing the EEPROM: Pipe error", 7, nullptr},
        // A device that answers the read-back short.
        {"device 16d0:0f3b\ncontrol 0xc0 0xa2 reply 0708\n", 100, kTestLoader,
         "reading the EEPROM back: the loader returned 2 of 100 bytes at 0x0000", 7, nullptr},
        // Our loader on the emulated chip. Reads that differ from what was written:
        {kFx2 + "flip 9999 mask=0x80\n", 10000, ours, "EEPROM contents differs from the original", 9, nullptr},
        {kFx2 + "eeprom 16K page=16\n", 100, ours, "EEPROM contents differs from the original", 5, nullptr},
        // No EEPROM at 0x51, or one that stays busy longer than the loader waits: stalled.
        {kFx2 + "eeprom 256 addressing=1\n", 100, ours, "writing the EEPROM: Pipe error", 4, nullptr},
        {kFx2 + "eeprom 16K write-time=100000\n", 100, ours, "writing the EEPROM: Pipe error", 4, nullptr},
        // Firmware that never answers, spins on itself, or runs into the undefined opcode.
        {kFx2, 100, ":0600000090E65DE080FD", "writing the EEPROM: Operation timed out", 4,
         "firmware timeout: request 0xa2 not completed in 5000000 us, pc=0x0003"},
        {kFx2, 100, ":0200000080FE", "writing the EEPROM: Operation timed out", 4,
         "firmware runaway: no register access in 1048576 cycles, pc=0x0000"},
        {kFx2, 100, ":03000000E4F0A5", "writing the EEPROM: Operation timed out", 4,
         "firmware runaway: undefined opcode 0xa5 at pc=0x0002"},
    };
    for (const auto& [device, size, loader, result, sent, record] : cases) {
        std::string expected = result;
        if (size_t at = expected.find('@'); at != std::string::npos) expected.replace(at, 1, dir.path("image.iic"));
        EXPECT_EQ(upload(device, counter(size), loader), expected) << device << size;
        EXPECT_EQ(requests().size(), sent) << device << size;
        if (record) {
            EXPECT_EQ(recorded("firmware "), std::vector<std::string>{record}) << device;
        }
    }
}

// Our loader on the emulated chip, request by request: every length the packets
// and pages make interesting, at addresses that cross the loader's 32-byte pieces
// and the EEPROM's 64-byte pages; nothing else of the EEPROM changes. The last
// read is of one byte before 0x1E, the first byte of the one before it: had the
// loader acknowledged that byte, the EEPROM would hold the bus with the 0 bit.
TEST_F(EzUsbUpload, TheLoaderWritesAndReadsBackWhatItIsGiven) {
    load(kFx2 + "eeprom 32K\ndump eeprom \"" + dir.path("eeprom.bin") + "\"\n");
    vek::io::UsbDevice dev;
    Bytes ram;
    ASSERT_NE(parseIntelHex(kEzUsbLoaderHex, ram), kIntelHexFailed);
    ASSERT_TRUE(dev.openByVidPid(0x16d0, 0x0f3b) && setCpuReset(dev, true, 0) &&
                writeVendorChunks(dev, kEzUsbRequestRam, kEzUsbRamChunk, ram.data(), ram.size()) &&
                setCpuReset(dev, false, 0));
    const std::pair<uint16_t, size_t> cases[] = {  // address, size
        {0x0100, 0}, {0x0000, 1}, {0x0021, 63}, {0x007F, 64}, {0x0140, 65}, {0x0FC0, 4096}, {0x2345, 10000},
        {0x2344, 1}};
    Bytes eeprom(32768, 0xFF);
    for (const auto& [address, size] : cases) {
        Bytes data = counter(size), back(size);
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(data[i] * 31 + address);
        std::copy(data.begin(), data.end(), eeprom.begin() + address);
        for (size_t off = 0; off < size || off == 0; off += kEzUsbEepromChunk) {
            auto n = static_cast<uint16_t>(std::min(kEzUsbEepromChunk, size - off));
            auto at = static_cast<uint16_t>(address + off);
            EXPECT_EQ(dev.controlTransfer(0x40, kEzUsbRequestEeprom, at, 0, data.data() + off, n, 0), n) << size;
            EXPECT_EQ(dev.controlTransfer(0xC0, kEzUsbRequestEeprom, at, 0, back.data() + off, n, 0), n) << size;
            if (size == 0) break;
        }
        EXPECT_EQ(back, data) << address << " " << size;
    }
    // Past the loader's 4096 bytes a request is stalled, in either direction.
    Bytes big(4097);
    EXPECT_EQ(dev.controlTransfer(0x40, kEzUsbRequestEeprom, 0, 0, big.data(), 4097, 0), -1);
    EXPECT_EQ(dev.controlTransfer(0xC0, kEzUsbRequestEeprom, 0, 0, big.data(), 4097, 0), -1);
    // A new start of the loader finds the EEPROM as the last one left it: its time goes on.
    ASSERT_TRUE(setCpuReset(dev, true, 0) && writeVendorChunks(dev, kEzUsbRequestRam, kEzUsbRamChunk, ram.data(), ram.size()) &&
                setCpuReset(dev, false, 0));
    EXPECT_EQ(dev.controlTransfer(0x40, kEzUsbRequestEeprom, 0x7FFF, 0, big.data(), 1, 0), 1);
    eeprom[0x7FFF] = big[0];
    dev.close();
    EXPECT_TRUE(readFileBytes(dir.path("eeprom.bin")) == eeprom);
}

}  // namespace
