#include "app/CmdLineSwitchTable.h"


namespace {

// In help order. The texts are the program's own, typos included: users and their
// scripts know them as they are.
constexpr SwitchInfo kRows[] = {
    {kSwitchNone, {}, nullptr, "General options"},
    {kSwitchHelp, {"h", "help"}, nullptr, "Display this help"},
    {kSwitchVersion, {"v", "version"}, nullptr, "Display Quenwick Hardware Controller version"},
    {kSwitchSuspend, {"s", "suspend"}, nullptr, "Don't start capturing immediately"},
    {kSwitchIndex, {"n", "index"}, "<n>", "Open the attached plim #n (zero-based index)"},

    {kSwitchNone, {}, nullptr, "Transport options"},
    {kSwitchStdin, {"stdin"}, nullptr, "Accept commands trom stdin"},
    {kSwitchStdout, {"stdout"}, nullptr, "Write output to stdout"},
    {kSwitchIn, {"i", "in", "f"}, "<file>", "Read from this file (write unless overriden by -o)"},
    {kSwitchOut, {"o", "out"}, "<file>", "Write output to this file"},
    {kSwitchQwlog, {"qwlog"}, nullptr, "Write output in the *.qwlog format"},
    {kSwitchTcp, {"t", "tcp", "tcp-port"}, "<port>", "Start a TCP server on this port"},
    {kSwitchNamedPipe, {"np", "named-pipe"}, "<pipe>", "Start a named pipe server with this name"},
    {kSwitchReadParallelism, {"read-parallelism"}, "<n>", "Start <n> reads simultaneously; default: 8"},
    {kSwitchReadBlockSize, {"read-block-size"}, "<size>", "Specify the buffer for each read; default: 8K"},
    {kSwitchSplitSize, {"split-size"}, "<size>", "Split the output file after <size> (e.g., 10M)"},
    {kSwitchSplitTime, {"split-time"}, "<time>", "Split the output file after <time> (e.g., 30m)"},

    {kSwitchNone, {}, nullptr, "Serial options"},
    {kSwitchSerial, {"serial"}, "<COMn>", "Open the specified serial port"},
    {kSwitchSerialPlim, {"serial-plim"}, nullptr, "Open the attached Serial Plim device"},
    {kSwitchSerialPlimPro, {"serial-plim-pro"}, nullptr, "Open the attached Serial Plim Pro device"},
    {kSwitchSerEnum, {"ser-enum"}, nullptr, "Enumerate available serial ports"},
    {kSwitchSerBaud, {"ser-baud"}, "<baud>", "Specify serial baud rate"},
    {kSwitchSerData, {"ser-data"}, "<bits>", "Specify serial data bit count (7|8)"},
    {kSwitchSerStop, {"ser-stop"}, "<bits>", "Specify serial stop bit count (1|15|2)"},
    {kSwitchSerParity, {"ser-parity"}, "<parity>", "Specify serial parity (none|even|odd|mark|space)"},
    {kSwitchSerFlow, {"ser-flow"}, "<flow>", "Use RTS/CTS flow control (0|1)"},
    {kSwitchSerDtr, {"ser-dtr"}, "<dtr>", "Set serial DTR line (0|1)"},
    {kSwitchSerRts, {"ser-rts"}, "<rts>", "Set serial RTS line (0|1)"},

    {kSwitchNone, {}, nullptr, "I2C/SPI Plim options"},
    {kSwitchI2cPlim, {"i2c-plim"}, nullptr, "Open the attached I2C/SPI Plim device in I2C mode"},
    {kSwitchSpiPlim, {"spi-plim"}, nullptr, "Open the attached I2C/SPI Plim device in SPI mode"},
    {kSwitchSpiMode, {"spi-mode"}, "<mode>", "Specify SPI mode (0|1|2|3); default: 0"},
    {kSwitchSpiData, {"spi-data"}, "<bits>", "Specify SPI data bits (4|8|12|16); default: 8"},
    // No placeholder although it reads a value: only the attached form
    // --spi-little-endian=1 turns it on.
    {kSwitchSpiLittleEndian, {"spi-little-endian"}, nullptr, "Use little-endian SPI (0|1); default: 0"},

    {kSwitchNone, {}, nullptr, "Ethernet Plim options"},
    {kSwitchEthernetPlim, {"ethernet-plim"}, nullptr, "Open the attached Ethernet Plim device"},
    {kSwitchPcap, {"pcap"}, nullptr, "Output in the *.pcap format"},

    {kSwitchNone, {}, nullptr, "EZ-USB options"},
    {kSwitchVid, {"vid"}, "<vid>", "Specify VID of the device"},
    {kSwitchPid, {"pid"}, "<pid>", "Specify PID of the device"},
    {kSwitchEzusb, {"ezusb"}, "<file.iic>", "Upload an EZ-USB config file"},

    {kSwitchNone, {}, nullptr, "FPGA options"},
    {kSwitchFirmware, {"rpd", "firmware"}, "<file.rpd>", "Upload FPGA config file for upload"},
    {kSwitchFpgaBase, {"rpd-base", "fpga-base"}, "<index>", "Override FPGA config uploader base index"},
};

}  // namespace

size_t SwitchInfo::nameCount() const {
    size_t n = 0;
    while (n < kMaxNames && names[n] != nullptr) ++n;
    return n;
}

const CmdLineSwitchTable& CmdLineSwitchTable::instance() {
    static const CmdLineSwitchTable table(kRows);
    return table;
}

CmdLineSwitchTable::CmdLineSwitchTable(std::span<const SwitchInfo> rows) : rows_(rows) {
    for (const SwitchInfo& row : rows_) {
        if (row.isTitle()) continue;
        for (size_t i = 0; i < row.nameCount(); ++i) {
            std::string_view name = row.names[i];
            if (name.size() == 1)
                short_.emplace(name[0], &row);
            else
                long_.emplace(name, &row);
        }
    }
}

const SwitchInfo* CmdLineSwitchTable::findShort(char name) const {
    auto it = short_.find(name);
    return it == short_.end() ? nullptr : it->second;
}

const SwitchInfo* CmdLineSwitchTable::findLong(std::string_view name) const {
    auto it = long_.find(name);
    return it == long_.end() ? nullptr : it->second;
}
