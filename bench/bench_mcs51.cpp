// The emulated EZ-USB: how fast the 8051 core runs, and what an upload of a
// 16 KiB EEPROM image with its verification costs end to end (our loader on
// the emulated chip, through the simulator's libusb, without the program's
// settle times). The chip itself runs 3 million cycles a second at its 12 MHz.
#include <benchmark/benchmark.h>

#include <libusb.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Mcs51.h"
#include "ezusb/EzUsbUpload.h"
#include "foundation/Error.h"
#include "foundation/ErrorMgr.h"
#include "qwsim/Simulator.h"
#include "support/TempDir.h"
#include "usb/UsbError.h"

namespace {

// A polling loop like the loader's waits: MOVX, two bit tests, an add and a
// DJNZ, 5 instructions in 15 cycles (the SJMP every 256 rounds aside).
const uint8_t kLoop[] = {0x90, 0xE6, 0x78, 0xE0, 0x20, 0xE2, 0x07, 0x20, 0xE0,
                         0x04, 0x24, 0x01, 0xDE, 0xF5, 0x80, 0xF3};

struct Flat : qwsim::Mcs51Bus {
    std::vector<uint8_t> code = std::vector<uint8_t>(65536, 0);
    std::vector<uint8_t> xdata = std::vector<uint8_t>(65536, 0);
    uint8_t readXdata(uint16_t a) override { return xdata[a]; }
    void writeXdata(uint16_t a, uint8_t v) override { xdata[a] = v; }
};

void BM_Mcs51Instructions(benchmark::State& state) {
    Flat bus;
    std::copy(std::begin(kLoop), std::end(kLoop), bus.code.begin());
    qwsim::Mcs51 core(bus.code.data(), bus);
    constexpr uint64_t kCycles = 15'000'000;
    for (auto _ : state) core.run(kCycles);
    double instructions = static_cast<double>(state.iterations()) * kCycles / 3;
    state.counters["instructions_per_s"] = benchmark::Counter(instructions, benchmark::Counter::kIsRate);
    state.counters["chip_seconds"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kCycles / 3e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Mcs51Instructions)->Unit(benchmark::kMillisecond);

void BM_EzUsbUpload16K(benchmark::State& state) {
    vek::err::getErrorMgr().registerProvider(vek::err::kUsbDomain, &vek::io::usbErrorProvider());
    TempDir dir;
    std::vector<uint8_t> image(16384);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + i / 256);
    std::string path = dir.path("image.iic");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
    std::string error;
    if (!qwsim::loadScenario("device 16d0:0f3b model=ezusb\nfirmware emulated\neeprom 16K\n", &error) ||
        libusb_init(nullptr) != 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::FILE* console = std::fopen(dir.path("console.txt").c_str(), "wb");
    for (auto _ : state) {
        vek::io::UsbDevice dev;
        if (!dev.openByVidPid(0x16d0, 0x0f3b) || !uploadEzUsbConfig(dev, path, {kEzUsbLoaderHex, 0, console})) {
            state.SkipWithError(("the upload failed: " + vek::err::getLastErrorMessage()).c_str());
            break;
        }
    }
    std::fclose(console);
    libusb_exit(nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}
BENCHMARK(BM_EzUsbUpload16K)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
