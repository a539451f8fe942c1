// What each switch does to Settings. A later switch overrides an earlier one that
// sets the same field; hardwareKind and transportKind follow the last switch that
// sets them.

#include "app/CmdLineParser.h"
#include "app/CmdLineValueMaps.h"
#include "app/CmdLineValues.h"
#include "foundation/Error.h"

using vek::err::setStringError;

namespace {

constexpr uint32_t kMaxUsbId = 0xFFFF;
constexpr int32_t kMaxTcpPort = 0xFFFF;
constexpr int32_t kMaxSpiMode = 3;

bool fail(const char* text) {
    setStringError(text);
    return false;
}

bool failValue(const char* name, std::string_view value) {
    vek::err::setFormatStringError("invalid %s value \"%.*s\"", name, static_cast<int>(value.size()), value.data());
    return false;
}

// Negative numbers keep their sign in 64-bit fields (--index=-1 is all ones).
uint64_t widen(int32_t value) { return static_cast<uint64_t>(static_cast<int64_t>(value)); }

void setLine(Settings& s, uint32_t line, std::string_view value) {
    s.serialLineMask |= line;
    if (parseDecimal(value) != 0)
        s.serialLines |= line;
    else
        s.serialLines &= ~line;
}

// A USB id is 16 bits: 0 and anything wider would open some other device than
// the one the user named.
bool parseUsbId(std::string_view value, uint32_t& id, const char* error) {
    uint32_t parsed = parseHex(value);
    if (parsed == 0 || parsed > kMaxUsbId) return fail(error);
    id = parsed;
    return true;
}

}  // namespace

bool CmdLineParser::applySwitch(uint32_t kind, std::string_view value) {
    bool known = true;
    bool ok = applyGeneral(kind, value, known);
    if (!known) {
        known = true;
        ok = applyDevice(kind, value, known);
    }
    return known ? ok : fail("unknown switch kind");
}

bool CmdLineParser::applyGeneral(uint32_t kind, std::string_view value, bool& known) {
    Settings& s = settings_;
    switch (kind) {
        case kSwitchHelp: s.flags |= kFlagHelp; break;
        case kSwitchVersion: s.flags |= kFlagVersion; break;
        case kSwitchSuspend: s.flags |= kFlagSuspend; break;
        case kSwitchQwlog: s.flags |= kFlagQwlog; break;
        case kSwitchIndex: s.deviceIndex = widen(parseDecimal(value)); break;
        case kSwitchSerial:
            s.hardwareKind = kHardwareSerial;
            s.serialPortName = value;
            break;
        case kSwitchSerialPlim: s.hardwareKind = kHardwareSerialPlim; break;
        case kSwitchSerialPlimPro: s.hardwareKind = kHardwareSerialPlimPro; break;
        case kSwitchI2cPlim: s.hardwareKind = kHardwareI2cPlim; break;
        case kSwitchSpiPlim: s.hardwareKind = kHardwareSpiPlim; break;
        case kSwitchEthernetPlim: s.hardwareKind = kHardwareEthernetPlim; break;
        case kSwitchStdin: s.flags |= kFlagStdin; break;
        case kSwitchStdout: s.flags |= kFlagStdout; break;
        // The transport is decided here, from what is known so far: --out b
        // --stdin stays output-only, --stdin --out b reads commands from stdin.
        case kSwitchIn:
            s.flags &= ~kFlagStdin;
            s.inputFileName = value;
            s.transportKind = !s.outputFileName.empty() || s.has(kFlagStdout) ? kTransportOutputInput : kTransportSingleFile;
            break;
        case kSwitchOut:
            s.flags &= ~kFlagStdout;
            s.outputFileName = value;
            s.transportKind = !s.inputFileName.empty() || s.has(kFlagStdin) ? kTransportOutputInput : kTransportOutputOnly;
            break;
        case kSwitchTcp: {
            // Zero is left to validation, which names it as a missing port.
            int32_t port = parseDecimal(value);
            if (port < 0 || port > kMaxTcpPort) return fail("invalid TCP port");
            s.tcpPort = static_cast<uint32_t>(port);
            s.transportKind = kTransportTcpServer;
            break;
        }
        case kSwitchNamedPipe:
            s.inputFileName = value;
            s.transportKind = kTransportPipeServer;
            break;
        // Refused rather than taken as they would read: 0 reads capture nothing,
        // reads of 0 bytes never end, a split limit of 0 (or one cut short, as
        // "1.5M") splits after every write.
        case kSwitchReadParallelism: {
            int32_t reads = parseDecimal(value);
            if (reads <= 0) return failValue("--read-parallelism", value);
            s.readParallelism = static_cast<uint64_t>(reads);
            break;
        }
        case kSwitchReadBlockSize:
            return parseSizeValue(value, s.readBlockSize) || failValue("--read-block-size", value);
        case kSwitchSplitSize:
            return parseSizeValue(value, s.outputSplit.sizeLimit) || failValue("--split-size", value);
        case kSwitchSplitTime:
            return parseTimeValue(value, s.outputSplit.timeLimit) || failValue("--split-time", value);
        default: known = false;
    }
    return true;
}

bool CmdLineParser::applyDevice(uint32_t kind, std::string_view value, bool& known) {
    Settings& s = settings_;
    switch (kind) {
        case kSwitchSerEnum: s.flags |= kFlagSerialEnum; break;
        case kSwitchSerBaud: s.serialConfig.baudRate = static_cast<uint32_t>(parseDecimal(value)); break;
        case kSwitchSerData: s.serialConfig.dataBits = static_cast<uint8_t>(parseDecimal(value)); break;
        case kSwitchSerStop:
            return SerialStopBitsStringTable::instance().find(value, s.serialConfig.stopBits) ||
                   fail("invalid serial stop bits value");
        case kSwitchSerParity:
            return SerialParityStringTable::instance().find(value, s.serialConfig.parity) ||
                   fail("invalid serial parity value");
        case kSwitchSerFlow: s.serialConfig.flowControl = parseDecimal(value) != 0 ? 1 : 0; break;
        case kSwitchSerDtr: setLine(s, kLineDtr, value); break;
        case kSwitchSerRts: setLine(s, kLineRts, value); break;
        // The whole number is checked, not its low byte: 256 is no SPI mode 0.
        case kSwitchSpiMode: {
            int32_t mode = parseDecimal(value);
            if (mode < 0 || mode > kMaxSpiMode) return fail("invalid SPI mode value");
            s.spiConfig.mode = static_cast<uint8_t>(mode);
            break;
        }
        case kSwitchSpiData: {
            int32_t bits = parseDecimal(value);
            if (bits != 4 && bits != 8 && bits != 12 && bits != 16) return fail("invalid SPI data bit count value");
            s.spiConfig.dataBits = static_cast<uint8_t>(bits);
            break;
        }
        case kSwitchSpiLittleEndian: s.spiConfig.isLittleEndian = parseDecimal(value) != 0 ? 1 : 0; break;
        case kSwitchPcap: s.flags |= kFlagPcap; break;
        case kSwitchVid: return parseUsbId(value, s.usbVid, "invalid VID");
        case kSwitchPid: return parseUsbId(value, s.usbPid, "invalid PID");
        case kSwitchEzusb: s.ezusbFileName = value; break;
        case kSwitchFirmware: s.firmwareFileName = value; break;
        case kSwitchFpgaBase: {
            uint32_t base = parseAutoBase(value);
            if (base == 0) return fail("invalid FPGA base index");
            s.fpgaBaseIndex = base;
            break;
        }
        default: known = false;
    }
    return true;
}
