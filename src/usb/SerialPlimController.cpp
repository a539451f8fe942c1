#include "usb/SerialPlimController.h"

#include <algorithm>
#include <array>
#include <limits>

#include "foundation/Error.h"
#include "session/Message.h"

using vek::io::kNoTimeout;
using vek::io::kVendorIn;
using vek::io::kVendorOut;

namespace {

// Vendor requests.
constexpr uint8_t kReqSetLine = 0xC1;    // wValue selects the line, data: the parameter block
constexpr uint8_t kReqReadInput = 0xDA;  // wValue: input number; answers a u16, 0 when active
constexpr uint16_t kLineSelect = 0x8000;  // wValue of line n is n times this

// The parameter block of the set-line request: baud rate (u32 LE), 0, data bits,
// stop bits, 0, parity, seven zeros.
constexpr size_t kLineBlockSize = 16;
constexpr size_t kBlockBaud = 0;
constexpr size_t kBlockDataBits = 5;
constexpr size_t kBlockStopBits = 6;
constexpr size_t kBlockParity = 8;
constexpr uint8_t kBlockOneStopBit = 1;
constexpr uint8_t kBlockTwoStopBits = 2;

// Status inputs: the transmission and receive carrier of each line.
constexpr uint16_t kInputLine0TxCarrier = 2;
constexpr uint16_t kInputLine0RxCarrier = 4;
constexpr uint16_t kInputLine1TxCarrier = 14;
constexpr uint16_t kInputLine1RxCarrier = 13;

// Endpoints, one data and one status endpoint per line.
constexpr uint8_t kLine0DataEndpoint = 0x82;
constexpr uint8_t kLine0StatusEndpoint = 0x83;
constexpr uint8_t kLine1DataEndpoint = 0x85;
constexpr uint8_t kLine1StatusEndpoint = 0x86;
constexpr uint32_t kStatusReadLength = 1024;

// A CDC SERIAL_STATE notification: an 8-byte header whose length field says 2,
// then the 16-bit UART state bitmap.
constexpr int64_t kNotificationSize = 10;
constexpr size_t kNotificationLengthLow = 6;
constexpr uint8_t kNotificationLengthBit = 0x02;
constexpr size_t kNotificationStateLow = 8;

constexpr uint8_t kDataCodes[2] = {kMsgPlimLine0Data, kMsgPlimLine1Data};
constexpr uint8_t kStatusCodes[2] = {kMsgPlimLine0Status, kMsgPlimLine1Status};

void putU32(uint8_t* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t getU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

std::array<uint8_t, kLineBlockSize> lineBlock(const SerialConfig& config) {
    std::array<uint8_t, kLineBlockSize> block{};
    putU32(block.data() + kBlockBaud, config.baudRate);
    block[kBlockDataBits] = config.dataBits;
    // The device knows one or two stop bits; one and a half gets two.
    block[kBlockStopBits] = config.stopBits == kStopBitsOne ? kBlockOneStopBit : kBlockTwoStopBits;
    block[kBlockParity] = config.parity;
    return block;
}

}  // namespace

SerialPlimController::SerialPlimController(const Settings* settings) : UsbControllerBase(settings) {}

SerialPlimController::~SerialPlimController() {
    // The capture threads use the lists below; they must be gone first.
    stop();
    waitAndClose();
}

std::span<const vek::Guid> SerialPlimController::getLogGuids() const { return {&kSerialPlimLogGuid, 1}; }

bool SerialPlimController::start(TransportBase* output, TransportBase*) {
    if (!findDevice(kSerialPlimVid, kSerialPlimPid) || !claimInterface(0) || !claimInterface(1) ||
        !setSerialConfig(settings->serialConfig))
        return false;
    // An input that cannot be read counts as inactive; the capture goes on.
    bool tx0 = readPin(kInputLine0TxCarrier), rx0 = readPin(kInputLine0RxCarrier);
    bool tx1 = readPin(kInputLine1TxCarrier), rx1 = readPin(kInputLine1RxCarrier);
    outputTransport = output;
    // A failed write shows again at the first data message, which ends the capture.
    writeValue(kMsgPlimLine0Status, (rx0 ? kPlimStateRxCarrier : 0) | (tx0 ? kPlimStateTxCarrier : 0));
    writeValue(kMsgPlimLine1Status, (rx1 ? kPlimStateRxCarrier : 0) | (tx1 ? kPlimStateTxCarrier : 0));
    return startThreads();
}

bool SerialPlimController::processCommand(const uint8_t* message) {
    MessageHdr hdr = messageHeader(message);
    if (hdr.code != kCmdPlimLineSettings) {
        vek::err::setWinError(vek::err::kWinInvalidParameter);
        return false;
    }
    if (hdr.size < sizeof(SerialConfig)) {
        vek::err::setWinError(vek::err::kWinInsufficientBuffer);
        return false;
    }
    const uint8_t* p = messagePayload(message);
    SerialConfig config;
    config.baudRate = getU32(p);
    config.dataBits = p[4];
    config.stopBits = p[5];
    config.parity = p[6];
    config.flowControl = p[7];
    return setSerialConfig(config);
}

bool SerialPlimController::setSerialConfig(const SerialConfig& config) {
    for (uint16_t line = 0; line < 2; ++line) {
        auto block = lineBlock(config);
        if (device.controlTransfer(kVendorOut, kReqSetLine, static_cast<uint16_t>(line * kLineSelect), 0,
                                   block.data(), kLineBlockSize, kNoTimeout) < 0)
            return false;
    }
    return true;
}

bool SerialPlimController::readPin(uint16_t input) {
    uint8_t value[2] = {0xFF, 0xFF};
    device.controlTransfer(kVendorIn, kReqReadInput, input, 0, value, sizeof value, kNoTimeout);
    return value[0] == 0 && value[1] == 0;
}

bool SerialPlimController::submitReads() {
    // libusb takes an int length.
    auto dataLength = static_cast<uint32_t>(
        std::min<uint64_t>(settings->readBlockSize, std::numeric_limits<int32_t>::max()));
    return queueReads(line0Data_, 0, kLine0DataEndpoint, UsbReadBlock::kBulk, dataLength) &&
           queueReads(line0Status_, 0, kLine0StatusEndpoint, UsbReadBlock::kInterrupt, kStatusReadLength) &&
           queueReads(line1Data_, 1, kLine1DataEndpoint, UsbReadBlock::kBulk, dataLength) &&
           queueReads(line1Status_, 1, kLine1StatusEndpoint, UsbReadBlock::kInterrupt, kStatusReadLength);
}

void SerialPlimController::cancelReads() {
    cancelAndWait(line0Data_);
    cancelAndWait(line0Status_);
    cancelAndWait(line1Data_);
    cancelAndWait(line1Status_);
}

void SerialPlimController::onReadCompleted(UsbReadBlock* block) {
    completeRead(*lists_[block->kind][block->channel], block);
}

bool SerialPlimController::processData(UsbReadBlock* block) {
    if (block->kind == UsbReadBlock::kBulk)
        return writeMessage(*outputTransport, kDataCodes[block->channel], block->data(),
                            static_cast<size_t>(block->result));
    return processNotification(*block);
}

bool SerialPlimController::processNotification(UsbReadBlock& block) {
    const uint8_t* n = block.data();
    // Anything else on the status endpoint is not a state change.
    if (block.result < kNotificationSize || !(n[kNotificationLengthLow] & kNotificationLengthBit)) return true;
    uint32_t state = n[kNotificationStateLow];
    bool ok = writeValue(kStatusCodes[block.channel], state);
    uint32_t errors = (state & kPlimStateFraming ? kPlimLineErrorFraming : 0) |
                      (state & kPlimStateParity ? kPlimLineErrorParity : 0) |
                      (state & kPlimStateBreak ? kPlimLineErrorBreak : 0);
    if (ok && errors) ok = writeValue(kMsgPlimLineErrors, errors);
    return ok;
}

bool SerialPlimController::writeValue(uint8_t code, uint32_t value) {
    uint8_t payload[4];
    putU32(payload, value);
    return writeMessage(*outputTransport, code, payload, sizeof payload);
}
