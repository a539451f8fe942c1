#pragma once
// The table of command-line switches: the parser's look-up and the source of the
// help text. Built once, on first use, and read-only afterwards, so any thread may
// read it without a lock.

#include <cstdint>
#include <span>
#include <string_view>
#include <unordered_map>

// Kind numbers of the switches; 0 marks a group title row.
enum CmdLineSwitch : uint32_t {
    kSwitchNone = 0,
    kSwitchHelp = 1,
    kSwitchVersion = 2,
    kSwitchSuspend = 3,
    kSwitchQwlog = 4,
    kSwitchIndex = 5,
    kSwitchSerial = 6,
    kSwitchSerialPlim = 7,
    kSwitchSerialPlimPro = 8,
    kSwitchI2cPlim = 9,
    kSwitchSpiPlim = 10,
    kSwitchEthernetPlim = 11,
    kSwitchStdin = 12,
    kSwitchStdout = 13,
    kSwitchIn = 14,
    kSwitchOut = 15,
    kSwitchTcp = 16,
    kSwitchNamedPipe = 17,
    kSwitchReadParallelism = 18,
    kSwitchReadBlockSize = 19,
    kSwitchSplitSize = 20,
    kSwitchSplitTime = 21,
    kSwitchSerEnum = 22,
    kSwitchSerBaud = 23,
    kSwitchSerData = 24,
    kSwitchSerStop = 25,
    kSwitchSerParity = 26,
    kSwitchSerFlow = 27,
    kSwitchSerDtr = 28,
    kSwitchSerRts = 29,
    kSwitchSpiMode = 30,
    kSwitchSpiData = 31,
    kSwitchSpiLittleEndian = 32,
    kSwitchVid = 33,
    kSwitchPid = 34,
    kSwitchEzusb = 35,
    kSwitchFirmware = 36,
    kSwitchFpgaBase = 37,
    kSwitchPcap = 38,
};

// One row. A one-character name is written -x, a longer one --name; the names end
// at the first null. A non-null placeholder means the switch takes a value. For a
// title row (kind 0) `help` is the title.
struct SwitchInfo {
    static constexpr size_t kMaxNames = 4;

    uint32_t kind;
    const char* names[kMaxNames];
    const char* placeholder;
    const char* help;

    bool isTitle() const { return kind == kSwitchNone; }
    bool takesValue() const { return placeholder != nullptr; }
    size_t nameCount() const;
};

class CmdLineSwitchTable {
public:
    // The program's own table.
    static const CmdLineSwitchTable& instance();

    // Any table over rows that outlive it (the help layout is tested on others).
    explicit CmdLineSwitchTable(std::span<const SwitchInfo> rows);

    std::span<const SwitchInfo> rows() const { return rows_; }
    // Exact, case-sensitive look-ups; null when no switch has the name.
    const SwitchInfo* findShort(char name) const;
    const SwitchInfo* findLong(std::string_view name) const;

private:
    std::span<const SwitchInfo> rows_;
    std::unordered_map<char, const SwitchInfo*> short_;
    std::unordered_map<std::string_view, const SwitchInfo*> long_;
};
