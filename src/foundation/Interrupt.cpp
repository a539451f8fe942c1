#include "foundation/Interrupt.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace vek::sys {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<const std::function<void()>*> actions;  // innermost last
    std::vector<const std::function<void()>*> late;     // not yet called
    std::atomic<int> count{0};
    std::atomic<bool> ending{false};
};

Registry& registry() {
    // Never destroyed: a signal may come while static objects are going.
    static Registry* r = new Registry;
    return *r;
}

}  // namespace

bool interrupted() { return registry().count.load() > 0; }

void markProgramEnding() { registry().ending = true; }

InterruptScope::InterruptScope(std::function<void()> action) : action_(std::move(action)) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.actions.push_back(&action_);
    // An interrupt that came before the scope stops the work before it starts.
    if (r.count.load() > 0) action_();
}

InterruptScope::~InterruptScope() {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.actions.erase(std::remove(r.actions.begin(), r.actions.end(), &action_), r.actions.end());
}

LateInterruptScope::LateInterruptScope(std::function<void()> action) : action_(std::move(action)) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.late.push_back(&action_);
}

LateInterruptScope::~LateInterruptScope() {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.late.erase(std::remove(r.late.begin(), r.late.end(), &action_), r.late.end());
}

namespace detail {

bool deliverInterrupt() {
    Registry& r = registry();
    bool first = r.count.fetch_add(1) == 0;
    std::lock_guard<std::mutex> hold(r.mutex);
    bool handled = false;
    if (first && r.ending.load()) {
        handled = true;
    } else if (first && !r.actions.empty()) {
        for (auto it = r.actions.rbegin(); it != r.actions.rend(); ++it) (**it)();
        handled = true;
    }
    // Each late action answers one interrupt only.
    std::vector<const std::function<void()>*> late;
    late.swap(r.late);
    for (auto it = late.rbegin(); it != late.rend(); ++it) (**it)();
    return handled || !late.empty();
}

}  // namespace detail

}  // namespace vek::sys
