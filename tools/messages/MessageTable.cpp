// The messages each controller writes and each takes as a command, with their
// payloads as the controllers lay them out.
#include "MessageTable.h"

#include <array>

#include "fpga/PlimMessages.h"
#include "fpga/SerialPlimPro.h"
#include "session/Message.h"

namespace {

using F = FieldType;
using D = Direction;

constexpr const char* kLineErrorBits[] = {"framing", "parity", "break"};
constexpr const char* kModemBits[] = {"cts", "dsr", "ring", "rlsd"};
constexpr const char* kPlimStatusBits[] = {"rx-carrier", "tx-carrier", "break", "ring",
                                           "framing-error", "parity-error", "overrun"};
constexpr const char* kStopBits[] = {"1", "1.5", "2"};
constexpr const char* kParities[] = {"none", "odd", "even", "mark", "space"};
constexpr const char* kFlowControls[] = {"none", "rts-cts"};
constexpr const char* kReadWrite[] = {"write", "read"};
constexpr const char* kAckNack[] = {"ack", "nack"};
constexpr const char* kEndianness[] = {"big", "little"};
constexpr const char* kDecoderModes[] = {"decoded", "raw"};

// Payloads more than one message shares.
constexpr FieldSpec kData[] = {{F::kBytes, "data", "data", "Data"}};
constexpr FieldSpec kValuePair[] = {
    {F::kUnsigned, "first", "value.first", "First value", 0, 4},
    {F::kUnsigned, "second", "value.second", "Second value", 4, 4},
};
constexpr FieldSpec kError[] = {{F::kErrorRecord, "error", "error", "Error record"}};
constexpr FieldSpec kLineErrors[] = {{F::kFlags, "errors", "errors", "Line errors", 0, 4, 0, Base::kHex, 2, kLineErrorBits}};
constexpr FieldSpec kPlimStatus[] = {{F::kFlags, "state", "status", "Line status", 0, 4, 0, Base::kHex, 2, kPlimStatusBits}};
// All ones: the port cannot tell.
constexpr FieldSpec kModemLines[] = {{F::kFlags, "lines", "modem", "Modem lines", 0, 4, 0, Base::kHex, 2, kModemBits, 0, true}};
constexpr FieldSpec kLevel[] = {{F::kLevel, "level", "level", "Level", 0, 1}};
constexpr FieldSpec kSerialConfig[] = {
    {F::kUnsigned, "baud", "serial.baud", "Baud rate", 0, 4},
    {F::kUnsigned, "data-bits", "serial.data_bits", "Data bits", 4, 1},
    {F::kEnum, "stop-bits", "serial.stop_bits", "Stop bits", 5, 1, 0, Base::kDecimal, 0, kStopBits},
    {F::kEnum, "parity", "serial.parity", "Parity", 6, 1, 0, Base::kDecimal, 0, kParities},
    {F::kEnum, "flow", "serial.flow", "Flow control", 7, 1, 0, Base::kDecimal, 0, kFlowControls},
};
constexpr FieldSpec kProgress[] = {{F::kUnsigned, "percent", "upload.percent", "Upload progress (%)", 0, 4}};
constexpr FieldSpec kEventFlags[] = {{F::kUnsigned, "flags", "event_flags", "Event flags", 0, 4, 0, Base::kHex, 2}};

// I2C data runs: the acknowledge bit of every byte in the run comes with the code.
constexpr FieldSpec kI2cAcked[] = {{F::kConstant, "ack", "i2c.ack", "Acknowledge", 0, 0, 0, Base::kDecimal, 0, kAckNack, 0},
                                   kData[0]};
constexpr FieldSpec kI2cNacked[] = {{F::kConstant, "ack", "i2c.ack", "Acknowledge", 0, 0, 0, Base::kDecimal, 0, kAckNack, 1},
                                    kData[0]};
constexpr FieldSpec kI2cAddress[] = {
    {F::kUnsigned, "address", "i2c.address", "Address", 0, 1, 0xFE, Base::kHex, 2},
    {F::kEnum, "rw", "i2c.rw", "Read or write", 0, 1, 0x01, Base::kDecimal, 0, kReadWrite},
    {F::kEnum, "ack", "i2c.ack", "Acknowledge", 1, 1, 0x01, Base::kDecimal, 0, kAckNack},
};
constexpr FieldSpec kI2cAddress10[] = {
    {F::kI2cAddress10, "address", "i2c.address10", "10-bit address", 0, 2, 0, Base::kHex, 3},
    {F::kEnum, "rw", "i2c.rw", "Read or write", 0, 1, 0x01, Base::kDecimal, 0, kReadWrite},
    {F::kUnsigned, "ack-bits", "i2c.ack_bits", "Acknowledge bits", 2, 1, 0x03},
};

constexpr FieldSpec kSpiConfig[] = {
    {F::kUnsigned, "mode", "spi.mode", "SPI mode", 0, 1},
    {F::kUnsigned, "data-bits", "spi.data_bits", "Word width (bits)", 1, 1},
    {F::kEnum, "byte-order", "spi.byte_order", "Byte order", 2, 1, 0x01, Base::kDecimal, 0, kEndianness},
};
constexpr FieldSpec kSpiData[] = {{F::kHalves, "spi", "spi", "SPI data"}};

constexpr FieldSpec kEthernetFrame[] = {{F::kEthernet, "frame", "ethernet", "Ethernet Plim record"}};

constexpr FieldSpec kProRaw[] = {
    {F::kFiletime, "timestamp", "pro.timestamp", "Time stamp", 0, 8},
    {F::kUnsigned, "status", "pro.status", "Status", 8, 1, 0, Base::kHex, 2},
    {F::kUnsigned, "line-state", "pro.line_state", "Line state", 9, 1, 0, Base::kHex, 2},
    {F::kProRecords, "records", "pro.records", "Records", 16},
};
constexpr FieldSpec kProLineState[] = {
    {F::kUnsigned, "state", "pro.line_state", "Line state", 0, 1, 0, Base::kHex, 2},
    {F::kUnsigned, "changed", "pro.changed", "Changed bits", 1, 1, 0, Base::kHex, 2},
};
constexpr FieldSpec kProStatusLow[] = {{F::kUnsigned, "value", "pro.status", "Status", 0, 4, 0, Base::kHex, 2}};
constexpr FieldSpec kProStatusHigh[] = {
    {F::kUnsigned, "status", "pro.status", "Status", 0, 1, 0, Base::kHex, 2},
    {F::kUnsigned, "changed", "pro.changed", "Changed bits", 1, 1, 0, Base::kHex, 2},
};
constexpr FieldSpec kProDecoderMode[] = {{F::kEnum, "mode", "pro.decoder_mode", "Decoder mode", 0, 1, 0, Base::kDecimal, 0, kDecoderModes}};
constexpr FieldSpec kProOptionBits[] = {{F::kUnsigned, "bits", "pro.option_bits", "Option bits", 0, 1, 0, Base::kHex, 2}};

// Every family starts with these.
#define QW_GENERIC                                                                              \
    MessageSpec{kMsgDone, "done"}, MessageSpec{kMsgValuePair, "value-pair", D::kToHost, 8, -1, kValuePair}, \
        MessageSpec{kMsgError, "error", D::kToHost, 0, -1, kError}

constexpr MessageSpec kUnknownMessages[] = {QW_GENERIC};

constexpr MessageSpec kSerialMessages[] = {
    QW_GENERIC,
    {0x03, "data", D::kToHost, 0, 0, kData},
    {0x21, "line-errors", D::kToHost, 4, -1, kLineErrors},
    {0x22, "modem-lines", D::kToHost, 4, -1, kModemLines},
    {0x24, "set-dtr", D::kToDevice, 0, -1, kLevel},
    {0x25, "set-rts", D::kToDevice, 0, -1, kLevel},
    {0x26, "set-break", D::kToDevice, 0, -1, kLevel},
    {0x27, "line-settings", D::kToDevice, 8, -1, kSerialConfig},
    {0x28, "transmit", D::kToDevice, 0, -1, kData},
};

constexpr MessageSpec kSerialPlimMessages[] = {
    QW_GENERIC,
    {0x02, "line0-data", D::kToHost, 0, 0, kData},
    {0x03, "line1-data", D::kToHost, 0, 1, kData},
    {0x04, "line0-status", D::kToHost, 4, 0, kPlimStatus},
    {0x05, "line1-status", D::kToHost, 4, 1, kPlimStatus},
    {0x06, "line-settings", D::kToDevice, 8, -1, kSerialConfig},
    {0x21, "line-errors", D::kToHost, 4, -1, kLineErrors},
};

constexpr MessageSpec kSerialPlimProMessages[] = {
    QW_GENERIC,
    {serialpro::kMsgData0, "dir0-data", D::kToHost, 0, 0, kData},
    {serialpro::kMsgData1, "dir1-data", D::kToHost, 0, 1, kData},
    {serialpro::kCmdLineSettings, "line-settings", D::kToDevice, 8, -1, kSerialConfig},
    {0x1A, "upload-progress", D::kToHost, 4, -1, kProgress},
    {serialpro::kCmdSetDtr, "set-dtr", D::kToDevice, 1, -1, kLevel},
    {serialpro::kCmdSetRts, "set-rts", D::kToDevice, 1, -1, kLevel},
    {serialpro::kCmdTransmit, "transmit", D::kToDevice, 0, -1, kData},
    {serialpro::kMsgRawPacket, "raw-packet", D::kToHost, 16, -1, kProRaw},
    {serialpro::kMsgLineState, "line-state", D::kToHost, 2, -1, kProLineState},
    {serialpro::kMsgFirstEvent, "event-7"},
    {serialpro::kMsgFirstEvent + 1, "event-8"},
    {serialpro::kMsgFirstEvent + 2, "event-9"},
    {serialpro::kMsgFirstEvent + 3, "event-10"},
    {serialpro::kMsgStatusLow, "status", D::kToHost, 4, -1, kProStatusLow},
    {serialpro::kMsgStatusHigh, "status-change", D::kToHost, 2, -1, kProStatusHigh},
    {serialpro::kCmdUploadFirmware, "upload-firmware", D::kToDevice},
    {serialpro::kCmdStartCapture, "start-capture", D::kToDevice},
    {serialpro::kCmdStopCapture, "stop-capture", D::kToDevice},
    {serialpro::kCmdDecoderMode, "decoder-mode", D::kToDevice, 1, -1, kProDecoderMode},
    {serialpro::kCmdOptionBits, "option-bits", D::kToDevice, 1, -1, kProOptionBits},
};

// What the I2C and the SPI Plim share: the same device, in two modes.
#define QW_I2C_SPI                                                                                     \
    MessageSpec{kMsgMarker, "marker"}, MessageSpec{kMsgEventFlags, "event-flags", D::kToHost, 4, -1, kEventFlags}, \
        MessageSpec{0x1A, "upload-progress", D::kToHost, 4, -1, kProgress}

constexpr MessageSpec kI2cMessages[] = {
    QW_GENERIC,
    QW_I2C_SPI,
    {kMsgI2cWriteNacked, "i2c-write", D::kToHost, 0, 0, kI2cNacked},
    {kMsgI2cReadNacked, "i2c-read", D::kToHost, 0, 1, kI2cNacked},
    {kMsgI2cStart, "i2c-start"},
    {kMsgI2cAddress, "i2c-address", D::kToHost, 2, -1, kI2cAddress},
    {kMsgI2cAddress10, "i2c-address10", D::kToHost, 4, -1, kI2cAddress10},
    {kMsgI2cStop, "i2c-stop"},
    {kMsgI2cStopOffByte, "i2c-stop-off-byte"},
    {kMsgI2cWriteAcked, "i2c-write", D::kToHost, 0, 0, kI2cAcked},
    {kMsgI2cReadAcked, "i2c-read", D::kToHost, 0, 1, kI2cAcked},
    {0x11, "upload-firmware", D::kToDevice},
    {0x12, "start-capture", D::kToDevice},
    {0x13, "stop-capture", D::kToDevice},
};

constexpr MessageSpec kSpiMessages[] = {
    QW_GENERIC,
    QW_I2C_SPI,
    {kMsgSpiFrame0, "spi-frame-0"},
    {kMsgSpiFrame5, "spi-frame-5"},
    {kMsgSpiData, "spi-data", D::kToHost, 0, -1, kSpiData},
    {0x17, "upload-firmware", D::kToDevice},
    // The controller refuses a payload under 4 bytes, though it reads 3.
    {0x18, "start-capture", D::kToDevice, 4, -1, kSpiConfig},
    {0x19, "stop-capture", D::kToDevice},
};

constexpr MessageSpec kEthernetMessages[] = {
    QW_GENERIC,
    {0x1A, "upload-progress", D::kToHost, 4, -1, kProgress},
    {0x1B, "ethernet-frame", D::kToHost, 4, -1, kEthernetFrame},
    {0x1C, "ethernet-frame-flagged", D::kToHost, 4, -1, kEthernetFrame},
    {0x1D, "upload-firmware", D::kToDevice},
    {0x1E, "start-capture", D::kToDevice},
    {0x1F, "stop-capture", D::kToDevice},
};

#undef QW_GENERIC
#undef QW_I2C_SPI

constexpr DeviceFamily kFamilies[] = {DeviceFamily::kUnknown, DeviceFamily::kSerial,  DeviceFamily::kSerialPlim,
                                      DeviceFamily::kSerialPlimPro, DeviceFamily::kI2c, DeviceFamily::kSpi,
                                      DeviceFamily::kEthernet};

// The message each record code was made from.
constexpr RecordOrigin kRecordOrigins[] = {
    {0x61D47FF1FC334A10, 0x02}, {0x61D47FF1FC334A11, 0x03}, {0x01D487BB6423B806, 0x07},
    {0x01D487BB6423B804, 0x08}, {0x01D487BB6423B805, 0x09}, {0x01D487BB6423B80F, 0x0A},
    {0x01D487BB6423B810, 0x0B}, {0x01D487BB6423B811, 0x0C}, {0x01D487BB6423B812, 0x0D},
    {0x01D487BB6423B813, 0x0E}, {0x01D487BB6423B814, 0x0F}, {0x01D487BB6423B815, 0x10},
    {0x01D487BB6423B816, 0x14}, {0x01D487BB6423B817, 0x15}, {0x61D47FF1FC334A12, 0x16},
    {0x81D4CDAFA0ABB0E7, 0x1B}, {0x81D4CDAFA0ABB0E8, 0x1C}, {0x01D47FF1FC334A16, 0x20},
    {0x01D47C8FC7B0F710, 0x21},
};
constexpr uint64_t kLine0StatusRecord = 0x01D47C8FC7B0F70F;
constexpr uint64_t kLine1StatusRecord = 0x01D47C8FC7B0F70B;  // also the serial port's modem lines

constexpr ProRecordType kProRecordTypes[] = {
    {serialpro::kRecData0, "rx-dir0", serialpro::recordArgumentSize(serialpro::kRecData0)},
    {serialpro::kRecData1, "rx-dir1", serialpro::recordArgumentSize(serialpro::kRecData1)},
    {serialpro::kRecLineState, "line-state", serialpro::recordArgumentSize(serialpro::kRecLineState)},
    {7, "event-7", 0},
    {8, "event-8", 0},
    {9, "event-9", 0},
    {10, "event-10", 0},
    {serialpro::kRecStatus, "status", serialpro::recordArgumentSize(serialpro::kRecStatus)},
};

}  // namespace

std::span<const MessageSpec> familyMessages(DeviceFamily family) {
    switch (family) {
        case DeviceFamily::kSerial: return kSerialMessages;
        case DeviceFamily::kSerialPlim: return kSerialPlimMessages;
        case DeviceFamily::kSerialPlimPro: return kSerialPlimProMessages;
        case DeviceFamily::kI2c: return kI2cMessages;
        case DeviceFamily::kSpi: return kSpiMessages;
        case DeviceFamily::kEthernet: return kEthernetMessages;
        case DeviceFamily::kUnknown: break;
    }
    return kUnknownMessages;
}

const MessageSpec* findMessage(DeviceFamily family, uint8_t code) {
    for (const MessageSpec& m : familyMessages(family))
        if (m.code == code) return &m;
    return nullptr;
}

std::span<const DeviceFamily> allFamilies() { return kFamilies; }

std::span<const RecordOrigin> recordOrigins() { return kRecordOrigins; }

bool isStatusRecord(uint64_t record) { return record == kLine0StatusRecord || record == kLine1StatusRecord; }

std::optional<uint8_t> messageOfRecord(DeviceFamily family, uint64_t record) {
    // The serial port's modem lines share line 1's status record; its line 0 has none.
    if (record == kLine0StatusRecord) return uint8_t{0x04};
    if (record == kLine1StatusRecord) return static_cast<uint8_t>(family == DeviceFamily::kSerial ? 0x22 : 0x05);
    for (const RecordOrigin& origin : kRecordOrigins)
        if (origin.record == record) return origin.message;
    return std::nullopt;
}

std::span<const ProRecordType> proRecordTypes() { return kProRecordTypes; }

std::optional<DeviceFamily> familyOfLog(std::span<const vek::Guid> guids, std::span<const uint64_t> recordCodes) {
    std::optional<DeviceFamily> family = familyFromGuids(guids);
    if (family != DeviceFamily::kI2c) return family;
    for (uint64_t record : recordCodes) {
        std::optional<uint8_t> code = messageOfRecord(DeviceFamily::kI2c, record);
        if (!code) continue;
        bool i2c = findMessage(DeviceFamily::kI2c, *code) != nullptr;
        bool spi = findMessage(DeviceFamily::kSpi, *code) != nullptr;
        if (i2c != spi) return spi ? DeviceFamily::kSpi : DeviceFamily::kI2c;
    }
    return family;
}
