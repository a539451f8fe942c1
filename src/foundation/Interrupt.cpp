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

namespace detail {

bool deliverInterrupt() {
    Registry& r = registry();
    if (r.count.fetch_add(1) > 0) return false;
    if (r.ending.load()) return true;
    std::lock_guard<std::mutex> hold(r.mutex);
    if (r.actions.empty()) return false;
    for (auto it = r.actions.rbegin(); it != r.actions.rend(); ++it) (**it)();
    return true;
}

}  // namespace detail

}  // namespace vek::sys
