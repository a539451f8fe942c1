#include "support/TestHost.h"

#include <algorithm>
#include <chrono>
#include <future>

std::vector<uint8_t> receive(vek::io::Stream& s, size_t n, bool* inTime) {
    std::promise<void> done;
    auto watchdog = std::async(std::launch::async, [&s, finished = done.get_future()] {
        bool late = finished.wait_for(std::chrono::seconds(5)) != std::future_status::ready;
        if (late) s.close();
        return !late;
    });
    std::vector<uint8_t> out;
    uint8_t buffer[4096];
    for (size_t r; out.size() < n && (r = s.read(buffer, std::min(sizeof buffer, n - out.size()))) != 0 &&
                   r != vek::io::kStreamFailed;)
        out.insert(out.end(), buffer, buffer + r);
    done.set_value();
    if (inTime) *inTime = watchdog.get();
    return out;
}
