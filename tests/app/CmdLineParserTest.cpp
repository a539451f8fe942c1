#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "app/CmdLineParser.h"
#include "foundation/Error.h"

namespace {

// Every field, so a comparison also catches a switch that touches too much.
auto fields(const Settings& s) {
    return std::make_tuple(s.hardwareKind, s.transportKind, s.outputSplit.sizeLimit, s.outputSplit.timeLimit,
                           s.inputFileName, s.outputFileName, s.ezusbFileName, s.firmwareFileName, s.serialPortName,
                           s.serialConfig.baudRate, s.serialConfig.dataBits, s.serialConfig.stopBits,
                           s.serialConfig.parity, s.serialConfig.flowControl, s.spiConfig.mode, s.spiConfig.dataBits,
                           s.spiConfig.isLittleEndian, s.serialLineMask, s.serialLines, s.tcpPort, s.usbVid, s.usbPid,
                           s.flags, s.deviceIndex, s.fpgaBaseIndex, s.readParallelism, s.readBlockSize);
}

struct Case {
    std::vector<std::string> args;  // after the program path
    const char* error;              // null: must succeed
    void (*expect)(Settings&);      // applied to the defaults: what the Settings must be
};

// Runs the cases through the argument parser (and the pending check), or through
// the whole command line when `validate` is set. Parse cases compare the whole
// Settings, failures included: a rejected value must leave its field alone.
void check(const std::vector<Case>& cases, bool validate) {
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args{"quenwick-hwc"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Settings actual, expected;
        CmdLineParser parser(actual);
        bool ok = validate ? parseCommandLine(args, actual)
                           : std::all_of(args.begin(), args.end(), [&](auto& a) { return parser.parseArgument(a); }) &&
                                 parser.checkPending();
        EXPECT_EQ(ok ? "ok" : vek::err::getLastErrorDescription(), c.error != nullptr ? c.error : "ok");
        // A failed validation leaves what the switches set; not worth spelling out.
        if (validate && c.expect == nullptr) continue;
        if (c.expect != nullptr) c.expect(expected);
        EXPECT_EQ(fields(actual), fields(expected));
    }
}

void tcp5000(Settings& s) { s.tcpPort = 5000, s.transportKind = kTransportTcpServer; }
void stdoutOnly(Settings& s) { s.transportKind = kTransportOutputOnly, s.flags = kFlagStdout; }

}  // namespace

TEST(CmdLineParser, ArgumentForms) {
    check({
              {{"-st5000"}, nullptr, [](Settings& s) { tcp5000(s), s.flags = kFlagSuspend; }},
              {{"-t=5000"}, nullptr, tcp5000}, {{"-t", "5000"}, nullptr, tcp5000}, {{"--tcp=5000"}, nullptr, tcp5000},
              {{"--tcp=", "5000"}, nullptr, tcp5000}, {{"--tcp="}, "missing value for switch 'tcp'", nullptr},
              // One argument with a space: the value is not taken from it.
              {{"--tcp 5000"}, "missing value for switch 'tcp'", nullptr},
              {{"-t 5000"}, "missing value for switch 't'", nullptr}, {{"-xs"}, "unknown switch -x", nullptr},
              {{"-sx"}, "unknown switch -x", [](Settings& s) { s.flags = kFlagSuspend; }},
              {{"-\xFF"}, "unknown switch -\\xff", nullptr},
              {{"-\xC3"}, "unknown switch -\\xc3", nullptr},  // a sequence cut short
              {{"-\xEF\xBF\xBD"}, "unknown switch -\xEF\xBF\xBD", nullptr},  // U+FFFD as typed
              {{"--"}, "unknown switch --", nullptr},
              // A waiting value is not taken from a switch, but an unknown one is named first.
              {{"--in", "-o", "x"}, "missing value for switch 'in'", nullptr},
              {{"-n", "--stdin"}, "missing value for switch 'n'", nullptr},
              {{"-n", "--bogus"}, "unknown switch --bogus", nullptr}, {{"--index", "-1"}, "unknown switch -1", nullptr},
              {{"-i", "-s", "x"}, nullptr,
               [](Settings& s) { s.flags = kFlagSuspend, s.inputFileName = "x", s.transportKind = kTransportSingleFile; }},
              {{"stray", "-", "--help=no"}, nullptr, [](Settings& s) { s.flags = kFlagHelp; }},
              {{"--index=-1"}, nullptr, [](Settings& s) { s.deviceIndex = ~0ull; }},
              {{"--spi-little-endian", "1"}, nullptr, nullptr},
              {{"--spi-little-endian=1"}, nullptr, [](Settings& s) { s.spiConfig.isLittleEndian = 1; }},
          },
          false);
}

TEST(CmdLineParser, TransportsAndValues) {
    check({
              {{"--in", "a", "--out", "b"}, nullptr,
               [](Settings& s) { s.inputFileName = "a", s.outputFileName = "b", s.transportKind = kTransportOutputInput; }},
              {{"--stdin", "-o", "b"}, nullptr,
               [](Settings& s) { s.flags = kFlagStdin, s.outputFileName = "b", s.transportKind = kTransportOutputInput; }},
              {{"-o", "b", "--stdin"}, nullptr,
               [](Settings& s) { s.flags = kFlagStdin, s.outputFileName = "b", s.transportKind = kTransportOutputOnly; }},
              {{"--stdout", "--in", "a"}, nullptr,
               [](Settings& s) { s.flags = kFlagStdout, s.inputFileName = "a", s.transportKind = kTransportOutputInput; }},
              {{"--stdin", "--np", "Pipe1", "-f", "x"}, nullptr,
               [](Settings& s) { s.inputFileName = "x", s.transportKind = kTransportSingleFile; }},
              {{"--tcp=-1"}, "invalid TCP port", nullptr},
              {{"--ser-stop=1.5", "--ser-parity=space"}, nullptr,
               [](Settings& s) { s.serialConfig.stopBits = kStopBitsOneHalf, s.serialConfig.parity = kParitySpace; }},
              {{"--ser-data=263", "--ser-flow=2", "--ser-baud=-1"}, nullptr,
               [](Settings& s) { s.serialConfig.dataBits = 7, s.serialConfig.flowControl = 1, s.serialConfig.baudRate = ~0u; }},
              {{"--ser-rts=0", "--ser-dtr=5"}, nullptr, [](Settings& s) { s.serialLines = kLineDtr; }},
              {{"--spi-mode=3", "--spi-data=4"}, nullptr, [](Settings& s) { s.spiConfig = {3, 4, 0}; }},
              // Range checks on the whole number, not on a byte of it.
              {{"--spi-mode=256"}, "invalid SPI mode value", nullptr},
              {{"--spi-data=264"}, "invalid SPI data bit count value", nullptr},
              {{"--vid=0x16d0", "--pid=F3B"}, nullptr, [](Settings& s) { s.usbVid = 0x16D0, s.usbPid = 0xF3B; }},
              {{"--vid=116d0"}, "invalid VID", nullptr}, {{"--pid=0"}, "invalid PID", nullptr},
              {{"--rpd-base=010", "--firmware=f.rpd"}, nullptr,
               [](Settings& s) { s.fpgaBaseIndex = 8, s.firmwareFileName = "f.rpd"; }},
              {{"--index=99999999999", "--read-parallelism=2"}, nullptr,
               [](Settings& s) { s.deviceIndex = INT32_MAX, s.readParallelism = 2; }},
              {{"--read-block-size=4k", "--split-size=1G", "--split-time=2h"}, nullptr,
               [](Settings& s) { s.readBlockSize = 4096, s.outputSplit = {1ull << 30, 72'000'000'000}; }},
              {{"--read-parallelism=1"}, nullptr, [](Settings& s) { s.readParallelism = 1; }},
              {{"--read-parallelism=0"}, "invalid --read-parallelism value \"0\"", nullptr},
              {{"--read-parallelism=-1"}, "invalid --read-parallelism value \"-1\"", nullptr},
              {{"--split-size", "1.5M"}, "invalid --split-size value \"1.5M\"", nullptr},
              {{"--serial-plim", "--serial", "COM3", "--i2c-plim"}, nullptr,
               [](Settings& s) { s.hardwareKind = kHardwareI2cPlim, s.serialPortName = "COM3"; }},
          },
          false);
}

// Validation completes the Settings and reports the first broken rule; a parse
// failure keeps it from running at all. The messages themselves are pinned end to end.
TEST(ValidateSettings, OrderAndCompletion) {
    check({
              {{}, nullptr, stdoutOnly},
              {{"--qwlog", "--bogus"}, "unknown switch --bogus", [](Settings& s) { s.flags = kFlagQwlog; }},
              {{"--qwlog", "-s"}, "output *.qwlog file is not specified", nullptr},
              {{"--qwlog", "--stdin"}, "this transport cannot be used to output *.qwlog", nullptr},
              {{"--pcap", "--qwlog", "--out", "c.qwlog"}, "--pcap and --qwlog cannot be used together", nullptr},
              {{"-s", "--serial", ""}, "can't start suspended without input stream", nullptr},
              {{"-s", "--stdin"}, nullptr,
               [](Settings& s) { s.flags = kFlagSuspend | kFlagStdin | kFlagStdout, s.transportKind = kTransportOutputInput; }},
              {{"--tcp=0", "--serial", ""}, "TCP server port name not specified", nullptr},
              {{"--np", "", "--serial", ""}, "pipe server name not specified", nullptr},
              {{"--serial", "", "--ezusb", "x.iic"}, "serial port name not specified", nullptr},
              {{"--np", "Pipe\xC3\x84"}, nullptr,
               [](Settings& s) { s.inputFileName = "pipe\xC3\xA4", s.transportKind = kTransportPipeServer; }},
              {{"--np", "/run/Qw/Sock"}, nullptr,
               [](Settings& s) { s.inputFileName = "/run/Qw/Sock", s.transportKind = kTransportPipeServer; }},
              {{"--firmware", "f.rpd"}, nullptr,
               [](Settings& s) { stdoutOnly(s), s.firmwareFileName = "f.rpd", s.flags |= kFlagFirmwareUploadOnly; }},
              {{"--firmware", "f.rpd", "--stdin"}, nullptr,
               [](Settings& s) { s.firmwareFileName = "f.rpd", s.transportKind = kTransportOutputInput, s.flags = kFlagStdin | kFlagStdout; }},
              {{"--read-block-size=4k", "--serial-plim-pro"}, nullptr,
               [](Settings& s) { stdoutOnly(s), s.hardwareKind = kHardwareSerialPlimPro, s.readBlockSize = 512; }},
          },
          true);
}

// Every alias of the table is reachable (and only through its own row); titles
// are not switches and look-ups are case-sensitive.
TEST(CmdLineSwitchTable, EveryNameFindsItsOwnRow) {
    const CmdLineSwitchTable& table = CmdLineSwitchTable::instance();
    std::set<uint32_t> kinds;
    for (const SwitchInfo& row : table.rows()) {
        if (row.isTitle()) continue;
        EXPECT_TRUE(kinds.insert(row.kind).second) << "kind " << row.kind << " twice";
        for (size_t i = 0; i < row.nameCount(); ++i) {
            std::string_view name = row.names[i];
            EXPECT_EQ(name.size() == 1 ? table.findShort(name[0]) : table.findLong(name), &row) << name;
        }
    }
    EXPECT_EQ(table.findLong("General options"), nullptr);
    EXPECT_EQ(table.findLong("HELP"), nullptr);
}
