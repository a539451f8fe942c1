#pragma once
// Turns command-line arguments into Settings, one argument at a time.
//
// Main thread only, before the mode runs. Every operation that returns false has
// stored the reason as the thread's last error (a text error); the Settings then
// hold whatever was applied before the failing switch, and the caller stops.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "app/CmdLineSwitchTable.h"
#include "session/Settings.h"

class CmdLineParser {
public:
    explicit CmdLineParser(Settings& settings, const CmdLineSwitchTable& table = CmdLineSwitchTable::instance())
        : settings_(settings), table_(table) {}

    // One argument: --name[=value], a group of short switches (-st5000), or a
    // plain word that is the value of a waiting switch (else ignored, as the
    // program path is).
    bool parseArgument(std::string_view arg);

    // Applies one switch of the table with its value text (empty for a switch
    // without a value). False when the value is out of range; Settings untouched.
    bool applySwitch(uint32_t kind, std::string_view value);

    // After the last argument: false when a switch still waits for its value.
    bool checkPending() const;

    Settings& settings() { return settings_; }

private:
    bool parseLong(std::string_view body);
    bool parseShortGroup(std::string_view arg);
    bool takeValue(const SwitchInfo& row, std::string_view name, std::string_view value);
    bool failMissingValue() const;

    bool applyGeneral(uint32_t kind, std::string_view value, bool& known);
    bool applyDevice(uint32_t kind, std::string_view value, bool& known);

    Settings& settings_;
    const CmdLineSwitchTable& table_;
    uint32_t pendingKind_ = kSwitchNone;
    std::string pendingName_;
};

// Completes and checks the Settings of a parser that has taken every argument:
// picks the default transport, checks the combinations, normalises names.
bool validateSettings(CmdLineParser& parser);

// The whole command line (program path first): every argument, the pending check
// and validation. Stops at the first failure.
bool parseCommandLine(std::span<const std::string> args, Settings& settings);
