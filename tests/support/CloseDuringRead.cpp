#include "support/CloseDuringRead.h"

#include <chrono>
#include <future>
#include <memory>
#include <thread>

CloseDuringRead closeDuringRead(TransportBase& t) {
    auto reading = std::make_shared<std::promise<void>>();
    auto result = std::make_shared<std::promise<size_t>>();
    std::future<void> started = reading->get_future();
    std::future<size_t> finished = result->get_future();
    std::thread reader([&t, reading, result] {
        reading->set_value();
        unsigned char buffer[64];
        result->set_value(t.read(buffer, sizeof buffer));
    });
    started.wait();
    // No event says "blocked inside read"; a short head start makes the close
    // land during the wait. Were it to come first, the read must still return 0.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto closing = std::chrono::steady_clock::now();
    t.close();
    bool returned = finished.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - closing);
    if (returned)
        reader.join();
    else
        reader.detach();  // the test has failed; do not hang it as well
    return {returned ? finished.get() : kNotReturned, static_cast<long>(took.count())};
}
