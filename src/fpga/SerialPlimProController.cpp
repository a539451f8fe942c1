#include "fpga/SerialPlimProController.h"

#include <algorithm>
#include <cstdint>

#include "foundation/Error.h"
#include "session/Message.h"
#include "usb/Libusb.h"
#include "usb/UsbError.h"

using namespace serialpro;

using vek::io::kNoTimeout;
using vek::io::kVendorIn;
using vek::io::kVendorOut;

namespace {

// Register access: vendor requests whose data stage is the value, big-endian.
constexpr uint8_t kReqReadRegister = 0x58;
constexpr uint8_t kReqWriteRegister = 0x59;

constexpr uint32_t kClockHz = 48'000'000;
constexpr uint32_t kOversampling = 16;

uint32_t gcd(uint32_t a, uint32_t b) {
    while (b != 0) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

uint16_t low16(uint32_t v) { return static_cast<uint16_t>(v & 0xFFFF); }
uint16_t high16(uint32_t v) { return static_cast<uint16_t>(v >> 16); }

// Commands whose payload falls short of `minimum` fail with Windows error 122.
bool hasPayload(const MessageHdr& header, size_t minimum) {
    if (header.size >= minimum) return true;
    vek::err::setWinError(vek::err::kWinInsufficientBuffer);
    return false;
}

}  // namespace

SerialPlimProController::SerialPlimProController(const Settings* settings)
    : UsbFpgaControllerBase(settings), serialConfig_(settings->serialConfig) {
    decoder_.timestamp = vek::sys::systemTime();
    uint32_t both = settings->serialLineMask & settings->serialLines;
    lineFlags_ = (both & kLineRts ? kRts : 0) | (both & kLineDtr ? kDtr : 0);
}

SerialPlimProController::~SerialPlimProController() {
    // The worker threads call processData, which needs the decoders.
    stop();
    waitAndClose();
}

uint16_t SerialPlimProController::readRegister(uint16_t n) {
    uint8_t value[2] = {0, 0};
    device.controlTransfer(kVendorIn, kReqReadRegister, 0, n, value, sizeof value, kNoTimeout);
    return static_cast<uint16_t>(value[0] << 8 | value[1]);
}

bool SerialPlimProController::writeRegister(uint16_t n, uint16_t value) {
    uint8_t data[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return device.controlTransfer(kVendorOut, kReqWriteRegister, 0, n, data, sizeof data, kNoTimeout) >= 0;
}

bool SerialPlimProController::setBaudRate(uint32_t baud) {
    if (baud > kMaxBaudRate) {
        vek::err::setStringError("baud rates over 2.5 Mbps are not supported");
        return false;
    }
    uint32_t g = gcd(kClockHz, kOversampling * baud);
    uint32_t n = kOversampling * baud / g;
    uint32_t r = kClockHz / g - n;
    return writeRegister(kRegBaudNumeratorLow, low16(n)) && writeRegister(kRegBaudNumeratorHigh, high16(n)) &&
           writeRegister(kRegBaudRemainderLow, low16(r)) && writeRegister(kRegBaudRemainderHigh, high16(r));
}

bool SerialPlimProController::setSerialConfig(const SerialConfig& config) {
    if (!setBaudRate(config.baudRate)) return false;
    uint32_t format = (static_cast<uint32_t>(config.stopBits << 4 | (config.parity & 0x0F)) << 8) | config.dataBits;
    return writeRegister(kRegFrameFormat, low16(format));
}

void SerialPlimProController::resetDecoder(uint32_t mode) {
    uint16_t status = readRegister(kRegStatus), line = readRegister(kRegLineState);
    std::lock_guard<std::mutex> hold(decoderLock);
    decoderMode_ = mode;
    decoder_.timestamp = vek::sys::systemTime();
    decoder_.status = static_cast<uint8_t>(status);
    decoder_.lineState = static_cast<uint8_t>(line);
}

bool SerialPlimProController::startCapture() {
    stopCapture();  // a device that cannot stop may still start
    resetDecoder();
    if (!setSerialConfig(serialConfig_)) return false;
    uint32_t ticks = timerPeriodMs_ * (kClockHz / 1000);
    // The low half is odd: bit 0 is forced.
    return writeRegister(kRegTimerLow, static_cast<uint16_t>(low16(ticks) | 1)) &&
           writeRegister(kRegTimerHigh, high16(ticks)) && writeRegister(kRegClear7, 0) &&
           writeRegister(kRegClear6, 0) && writeRegister(kRegClear5, 0) && writeControl() && startThreads();
}

bool SerialPlimProController::stopCapture() {
    if (!writeRegister(kRegControl, 0)) return false;
    drainEndpoint(fpga::kDataEndpoint);
    return true;
}

bool SerialPlimProController::processCommand(const uint8_t* message) {
    const MessageHdr header = messageHeader(message);
    const uint8_t* payload = messagePayload(message);
    switch (header.code) {
        case kCmdLineSettings: return hasPayload(header, sizeof(SerialConfig)) && changeSerialConfig(payload);
        case kCmdSetDtr: return hasPayload(header, 1) && setLineFlag(kDtr, payload[0] != 0);
        case kCmdSetRts: return hasPayload(header, 1) && setLineFlag(kRts, payload[0] != 0);
        case kCmdTransmit: return transmit(payload, header.size);
        case kCmdUploadFirmware: return uploadFirmware();
        case kCmdStartCapture: return startCapture();
        case kCmdStopCapture: return stopCapture();
        case kCmdDecoderMode:
            if (!hasPayload(header, 1)) return false;
            resetDecoder(payload[0]);
            return true;
        case kCmdOptionBits:
            if (!hasPayload(header, 1)) return false;
            lineFlags_ = (lineFlags_ & ~kOptionBits) | (payload[0] & kOptionBits);
            return writeControl();
        default:
            vek::err::setWinError(vek::err::kWinInvalidParameter);
            return false;
    }
}

bool SerialPlimProController::changeSerialConfig(const uint8_t* p) {
    SerialConfig config;
    config.baudRate = static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
    config.dataBits = p[4];
    config.stopBits = p[5];
    config.parity = p[6];
    config.flowControl = p[7];
    if (!setSerialConfig(config)) return false;
    serialConfig_ = config;
    return true;
}

bool SerialPlimProController::setLineFlag(uint32_t bit, bool on) {
    lineFlags_ = on ? lineFlags_ | bit : lineFlags_ & ~bit;
    writeControl();  // the host hears of no failure here; it stays the last error
    return true;
}

uint32_t SerialPlimProController::transmitTimeoutMs(const SerialConfig& config, size_t size) {
    // Counted in half bits, for 1.5 stop bits: start, data, parity, stop.
    const uint64_t stopHalfBits = config.stopBits == kStopBitsOne ? 2 : config.stopBits == kStopBitsOneHalf ? 3 : 4;
    const uint64_t halfBits = 2 * (1 + uint64_t{config.dataBits} + (config.parity != kParityNone ? 1 : 0)) + stopHalfBits;
    // A line programmed to 0 baud sends nothing: only the grace is left to wait.
    const uint64_t halfBitsPerSecond = 2 * uint64_t{config.baudRate};
    const uint64_t lineMs =
        halfBitsPerSecond == 0 ? 0 : (size * halfBits * 1000 + halfBitsPerSecond - 1) / halfBitsPerSecond;
    return static_cast<uint32_t>(std::min<uint64_t>(lineMs + kTransmitGraceMs, UINT32_MAX));
}

bool SerialPlimProController::transmit(const uint8_t* bytes, size_t size) {
    int sent = 0;
    // libusb takes a mutable buffer for both directions; an OUT transfer only reads it.
    int r = libusb_bulk_transfer(device.handle(), kTransmitEndpoint, const_cast<uint8_t*>(bytes),
                                 static_cast<int>(size), &sent, transmitTimeoutMs(serialConfig_, size));
    return r >= 0 || vek::io::setUsbError(r);
}

bool SerialPlimProController::processData(UsbReadBlock* block) {
    std::lock_guard<std::mutex> hold(decoderLock);
    const size_t size = static_cast<size_t>(block->result);
    if (decoderMode_ == kRawMode)
        decodeRaw_.decode(decoder_, block->data(), size, *outputTransport);
    else
        decodeStd_.decode(decoder_, block->data(), size, *outputTransport);
    return true;
}
