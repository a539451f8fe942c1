#pragma once
// Closes a transport from this thread while another thread is blocked reading it.

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "transport/TransportBase.h"

// True when the read returns 0 within a second of the close.
inline bool closeWakesRead(TransportBase& t) {
    auto reading = std::make_shared<std::promise<void>>();
    auto result = std::make_shared<std::promise<size_t>>();
    std::future<void> started = reading->get_future();
    std::future<size_t> finished = result->get_future();
    std::thread([&t, reading, result] {
        reading->set_value();
        unsigned char buffer[64];
        result->set_value(t.read(buffer, sizeof buffer));
    }).detach();  // a read that never returns fails the test without hanging it
    started.wait();
    // No event says "blocked inside read"; a short head start makes the close
    // land during the wait. Were it to come first, the read must still return 0.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t.close();
    return finished.wait_for(std::chrono::seconds(1)) == std::future_status::ready && finished.get() == 0;
}
