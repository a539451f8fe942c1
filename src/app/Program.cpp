#include "app/Program.h"

#include <cstdio>

int runProgram(const std::vector<std::string>& args) {
    (void)args;
    std::fprintf(stderr, "error: not yet built\n");
    return -1;
}
