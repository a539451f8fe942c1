#pragma once
// Texts made from the program's switch table, so they never drift from it: the
// bash completion script and the options section of the manual page.

#include <string>

std::string bashCompletion();
// roff: one .TP entry per switch, under the table's group titles.
std::string manOptions();
