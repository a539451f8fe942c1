#pragma once
// EZ-USB configuration upload: our loader into the chip's RAM through the USB
// core's request 0xA0, then an *.iic image into the chip's EEPROM through the
// loader's request 0xA2, read back and compared.
//
// All on the calling thread, with synchronous control transfers that wait
// without limit. Failures return false with the last error set; the console
// context names the step that failed.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "ezusb/EzUsbLoader.h"
#include "usb/UsbDevice.h"

// Vendor requests, device recipient, wIndex 0.
constexpr uint8_t kEzUsbRequestRam = 0xA0;     // the USB core: RAM and the CPU control register
constexpr uint8_t kEzUsbRequestEeprom = 0xA2;  // the loader: the EEPROM at wValue
constexpr uint16_t kEzUsbCpuControl = 0xE600;  // CPUCS: bit 0 holds the 8051 in reset
constexpr size_t kEzUsbRamChunk = 2048;
constexpr size_t kEzUsbEepromChunk = 4096;
// wValue addresses 64 KiB: a longer image would wrap onto its own start.
constexpr size_t kEzUsbMaxImageSize = 65536;
constexpr uint32_t kEzUsbSettleMs = 500;

// Sends data[0, size) with the OUT vendor request in pieces of at most
// chunkSize (up to 65535) bytes, wValue the piece's offset cut to 16 bits. The
// first failed transfer ends it with false; size 0 sends nothing.
bool writeVendorChunks(vek::io::UsbDevice& device, uint8_t request, size_t chunkSize, const uint8_t* data,
                       size_t size);

// Holds (true) or releases the 8051 through CPUCS, then gives the chip
// settleMs to get there.
bool setCpuReset(vek::io::UsbDevice& device, bool hold, uint32_t settleMs = kEzUsbSettleMs);

struct EzUsbUploadOptions {
    std::string_view loaderHex = kEzUsbLoaderHex;
    uint32_t settleMs = kEzUsbSettleMs;  // after each change of the CPU reset
    std::FILE* console = stdout;         // the progress lines
};

// The whole upload of the file at `path` into the opened device. The file is
// read, and refused when empty or longer than kEzUsbMaxImageSize, before
// anything is sent. A failure after the loader was started may leave the
// EEPROM partly written; the chip keeps running the loader either way.
bool uploadEzUsbConfig(vek::io::UsbDevice& device, std::string_view path, const EzUsbUploadOptions& options = {});
