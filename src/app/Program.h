#pragma once
// The program behind the platform entry points: start-up, command line, one mode.

#include <string>
#include <vector>

// Runs the program on UTF-8 arguments (the program path first) and returns the
// exit code: 0 on success, -1 on failure.
int runProgram(const std::vector<std::string>& args);
