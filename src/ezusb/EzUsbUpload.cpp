#include "ezusb/EzUsbUpload.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ezusb/IntelHex.h"
#include "foundation/Error.h"
#include "foundation/File.h"

using vek::io::kNoTimeout;
using vek::io::kVendorIn;
using vek::io::kVendorOut;

namespace {

constexpr uint8_t kCpuHold = 0x01;
constexpr uint8_t kCpuRun = 0x00;

// The whole file, refused when it is empty or does not fit the EEPROM's
// addresses: either would write something other than the image.
bool readImage(std::string_view path, std::vector<uint8_t>& image) {
    std::string context = "EZ-USB image \"" + std::string(path) + "\"";
    std::unique_ptr<vek::io::Stream> file = vek::io::openFile(path, vek::io::FileMode::kReadExisting);
    if (!file) return vek::err::addErrorContext(context);
    image.resize(kEzUsbMaxImageSize + 1);  // one more shows that it is too long
    size_t size = 0;
    while (size < image.size()) {
        size_t n = file->read(image.data() + size, image.size() - size);
        if (n == vek::io::kStreamFailed) return vek::err::addErrorContext(context);
        if (n == 0) break;
        size += n;
    }
    image.resize(size);
    if (size > 0 && size <= kEzUsbMaxImageSize) return true;
    if (size == 0)
        vek::err::setStringError("the file is empty");
    else
        vek::err::setFormatStringError("larger than %zu bytes", kEzUsbMaxImageSize);
    return vek::err::addErrorContext(context);
}

// A control request carries at most 65535 bytes, and a chunk of 0 would never end.
size_t chunkLimit(size_t chunkSize) { return std::clamp<size_t>(chunkSize, 1, UINT16_MAX); }

bool readVendorChunks(vek::io::UsbDevice& device, uint8_t request, size_t chunkSize, uint8_t* data, size_t size) {
    chunkSize = chunkLimit(chunkSize);
    for (size_t offset = 0; offset < size; offset += chunkSize) {
        auto length = static_cast<uint16_t>(std::min(chunkSize, size - offset));
        auto value = static_cast<uint16_t>(offset);
        int64_t got = device.controlTransfer(kVendorIn, request, value, 0, data + offset, length, kNoTimeout);
        if (got < 0) return false;
        // A short answer leaves bytes unread, which must not pass for verified.
        if (got != length) {
            vek::err::setFormatStringError("the loader returned %d of %u bytes at 0x%04x", static_cast<int>(got),
                                           unsigned{length}, unsigned{value});
            return false;
        }
    }
    return true;
}

void print(std::FILE* console, const char* text) {
    std::fputs(text, console);
    std::fflush(console);
}

// Loader into RAM and running; the device is untouched when its image does not parse.
bool startLoader(vek::io::UsbDevice& device, const EzUsbUploadOptions& options) {
    std::vector<uint8_t> ram;
    if (parseIntelHex(options.loaderHex, ram) == kIntelHexFailed)
        return vek::err::addErrorContext("the EZ-USB loader image");
    if (!setCpuReset(device, true, options.settleMs)) return vek::err::addErrorContext("holding the EZ-USB CPU");
    if (!writeVendorChunks(device, kEzUsbRequestRam, kEzUsbRamChunk, ram.data(), ram.size()))
        return vek::err::addErrorContext("loading the EZ-USB loader into RAM");
    return setCpuReset(device, false, options.settleMs) || vek::err::addErrorContext("starting the EZ-USB loader");
}

}  // namespace

bool writeVendorChunks(vek::io::UsbDevice& device, uint8_t request, size_t chunkSize, const uint8_t* data,
                       size_t size) {
    chunkSize = chunkLimit(chunkSize);
    for (size_t offset = 0; offset < size; offset += chunkSize) {
        auto length = static_cast<uint16_t>(std::min(chunkSize, size - offset));
        auto value = static_cast<uint16_t>(offset);
        // libusb takes a non-const buffer for both directions; an OUT request only reads it.
        auto* bytes = const_cast<uint8_t*>(data + offset);
        if (device.controlTransfer(kVendorOut, request, value, 0, bytes, length, kNoTimeout) < 0) return false;
    }
    return true;
}

bool setCpuReset(vek::io::UsbDevice& device, bool hold, uint32_t settleMs) {
    uint8_t cpucs = hold ? kCpuHold : kCpuRun;
    if (device.controlTransfer(kVendorOut, kEzUsbRequestRam, kEzUsbCpuControl, 0, &cpucs, 1, kNoTimeout) < 0)
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    return true;
}

bool uploadEzUsbConfig(vek::io::UsbDevice& device, std::string_view path, const EzUsbUploadOptions& options) {
    std::vector<uint8_t> image;
    if (!readImage(path, image)) return false;
    print(options.console, "Preparing RAM...\n");
    if (!startLoader(device, options)) return false;

    print(options.console, "Writing EEPROM...\n");
    if (!writeVendorChunks(device, kEzUsbRequestEeprom, kEzUsbEepromChunk, image.data(), image.size()))
        return vek::err::addErrorContext("writing the EEPROM");

    print(options.console, "Verifying EEPROM...\n");
    std::vector<uint8_t> readBack(image.size());
    if (!readVendorChunks(device, kEzUsbRequestEeprom, kEzUsbEepromChunk, readBack.data(), readBack.size()))
        return vek::err::addErrorContext("reading the EEPROM back");
    if (readBack != image) {
        vek::err::setStringError("EEPROM contents differs from the original");
        return false;
    }
    print(options.console, "EZ-USB configuration uploaded successfully.\n");
    return true;
}
