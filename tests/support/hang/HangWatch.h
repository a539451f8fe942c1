#pragma once
// A test that runs far longer than any test should is a hang: the watch names
// it, shows where every thread is, and aborts, so a hang in CI explains itself
// instead of ending as a bare timeout.

#include <gtest/gtest.h>

#include <chrono>

// Watches the tests of this program while it lives; installed before RUN_ALL_TESTS.
void watchForHangs(testing::TestEventListeners& listeners, std::chrono::seconds limit);

// Prints every thread's stack to stderr, where the platform can.
void printAllThreadStacks();
