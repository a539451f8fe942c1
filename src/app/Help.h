#pragma once
// Help and version texts. printHelp and printVersion write to standard output
// through stdio (binary and unbuffered after process preparation, so the bytes
// arrive as built on every platform).

#include <string>

#include "app/CmdLineSwitchTable.h"

// "Quenwick Hardware Controller v5.10.3 (amd64)\n"
std::string getVersionString();

// The switch list, a group per title row, CR LF line ends. Each help text starts
// in one column, four past the widest name list below 40 characters; a longer
// name list gets a line of its own.
std::string getHelpString(const CmdLineSwitchTable& table = CmdLineSwitchTable::instance());

// The version line, the usage line, the switch list.
void printHelp();
void printVersion();
