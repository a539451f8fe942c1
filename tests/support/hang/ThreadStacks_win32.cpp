#include <cstdio>

#include "support/hang/ThreadStacks.h"

void printAllThreadStacks() { std::fprintf(stderr, "(no stacks on this platform)\n"); }
