#pragma once
// Reading what the USB simulator recorded, for the simulator's and the USB layer's tests.

#include <string>
#include <vector>

#include "qwsim/Simulator.h"

// Recorded lines that start with `prefix`.
inline std::vector<std::string> recorded(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& l : qwsim::recordedLines())
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

inline std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}
