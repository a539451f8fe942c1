// The simulator's scenario parser on arbitrary text: it must report problems,
// never crash, hang or read outside the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qwsim/Simulator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    qwsim::checkScenario(std::string_view(reinterpret_cast<const char*>(data), size), &error, "/nonexistent");
    return 0;
}
