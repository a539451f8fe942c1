#include <cstdio>

#include "support/hang/HangWatch.h"

void printAllThreadStacks() { std::fprintf(stderr, "(no stacks on this platform)\n"); }
