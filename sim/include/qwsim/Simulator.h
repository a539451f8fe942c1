#pragma once
// Control of the libusb simulator from inside a test program.
//
// A program that links the simulator instead of libusb sees the devices of the
// loaded scenario. Without a call to loadScenario the first libusb_init loads the
// file named by QWSIM_SCENARIO (no variable: an empty bus; a bad file: libusb_init
// fails after printing "qwsim: FILE:LINE: problem" to standard error).
//
// Every function here is thread-safe.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qwsim/DeviceModel.h"

namespace qwsim {

constexpr const char* kScenarioVariable = "QWSIM_SCENARIO";

// Replaces the bus with the scenario's devices and settings, and starts simulated
// time at 0. Refused (false, with the reason) while a libusb context is open, a
// transfer is allocated or a device is still referenced: that is a leak in the
// program under test. Relative file names are taken from baseDir. The lines the
// scenario records are also kept in memory for recordedLines().
bool loadScenario(std::string_view text, std::string* error, const std::string& baseDir = ".");

// Parses a scenario without loading it (nothing is written; data files named in
// it are read). For tools and the fuzzer.
bool checkScenario(std::string_view text, std::string* error, const std::string& baseDir = ".");

// Recorded lines since the load (or the last clear), in order.
std::vector<std::string> recordedLines();
void clearRecordedLines();
// Adds a line of the test's own to the record, to mark a point in it.
void note(const std::string& text);

struct Counters {
    int defaultContextRefs = 0;  // libusb_init(NULL) minus libusb_exit(NULL)
    size_t liveTransfers = 0;    // allocated and not freed
    size_t allocations = 0;      // libusb_alloc_transfer calls that succeeded
    size_t openHandles = 0;
    long deviceRefs = 0;         // references the program holds on devices, all devices
    size_t misuses = 0;          // calls libusb forbids (each also recorded as a "misuse" line)
    size_t eventPasses = 0;      // libusb_handle_events* calls
};
Counters counters();

// Simulated time now.
SimTime now();
// Wakes every thread waiting in the simulator, e.g. after a model changed state
// from outside a libusb call.
void wake();

}  // namespace qwsim
