#pragma once
// Prints every thread's stack of this process to stderr, where the platform can.
void printAllThreadStacks();
