#pragma once
// The one settings record, filled from the command line and read-only once
// validated. The entry point owns it; controllers and servers hold a const pointer.

#include <cstdint>
#include <string>

enum HardwareKind : uint32_t {
    kHardwareNone = 0,
    kHardwareSerial = 1,
    kHardwareSerialPlim = 2,
    kHardwareI2cPlim = 3,
    kHardwareSpiPlim = 4,
    kHardwareEthernetPlim = 5,
    kHardwareSerialPlimPro = 6,
};

enum TransportKind : uint32_t {
    kTransportNone = 0,
    kTransportSingleFile = 1,    // the --in file carries commands and receives the output
    kTransportOutputOnly = 2,    // output to a file or stdout, no command input
    kTransportOutputInput = 3,   // output to a file or stdout, commands from a file or stdin
    kTransportTcpServer = 4,
    kTransportPipeServer = 5,
};

enum SettingsFlag : uint32_t {
    kFlagHelp = 0x001,
    kFlagVersion = 0x002,
    kFlagSuspend = 0x004,
    kFlagStdin = 0x010,
    kFlagStdout = 0x020,
    kFlagPcap = 0x040,
    kFlagQwlog = 0x080,
    kFlagSerialEnum = 0x100,
    kFlagFirmwareUploadOnly = 0x200,
};

constexpr uint64_t kNoLimit = ~uint64_t{0};

struct OutputSplit {
    uint64_t sizeLimit = kNoLimit;  // bytes
    uint64_t timeLimit = kNoLimit;  // 100-ns units
};

enum SerialStopBits : uint8_t { kStopBitsOne = 0, kStopBitsOneHalf = 1, kStopBitsTwo = 2 };
enum SerialParity : uint8_t { kParityNone = 0, kParityOdd = 1, kParityEven = 2, kParityMark = 3, kParitySpace = 4 };

// Also the 8-byte payload of the set-line-settings commands: u32 baud rate
// (little-endian), then data bits, stop bits, parity, flow control.
struct SerialConfig {
    uint32_t baudRate = 38400;
    uint8_t dataBits = 8;
    uint8_t stopBits = kStopBitsOne;
    uint8_t parity = kParityNone;
    uint8_t flowControl = 0;  // 0 none, 1 RTS/CTS
};
static_assert(sizeof(SerialConfig) == 8);

struct SpiConfig {
    uint8_t mode = 0;      // 0..3
    uint8_t dataBits = 8;  // 4, 8, 12 or 16
    uint8_t isLittleEndian = 0;
};

// Bits of serialLineMask / serialLines.
constexpr uint32_t kLineRts = 0x1;
constexpr uint32_t kLineDtr = 0x2;

struct Settings {
    uint32_t hardwareKind = kHardwareNone;
    uint32_t transportKind = kTransportNone;
    OutputSplit outputSplit;
    std::string inputFileName;  // --in, and the pipe name of --named-pipe
    std::string outputFileName;
    std::string ezusbFileName;
    std::string firmwareFileName;
    std::string serialPortName;
    SerialConfig serialConfig;
    SpiConfig spiConfig;
    uint32_t serialLineMask = kLineRts | kLineDtr;
    uint32_t serialLines = kLineRts | kLineDtr;
    uint32_t tcpPort = 0;
    uint32_t usbVid = 0;
    uint32_t usbPid = 0;
    uint32_t flags = 0;
    uint64_t deviceIndex = 0;
    uint64_t fpgaBaseIndex = kNoLimit;  // all ones: not given
    uint64_t readParallelism = 8;
    uint64_t readBlockSize = 8192;

    bool has(SettingsFlag f) const { return (flags & f) != 0; }
};
