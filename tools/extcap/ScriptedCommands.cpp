#include "ScriptedCommands.h"

#include <algorithm>
#include <cstring>

size_t ScriptedCommands::read(void* buffer, size_t size) {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return closed_ || given_ < commands_.size(); });
    if (closed_) return 0;
    size_t n = std::min(size, commands_.size() - given_);
    std::memcpy(buffer, commands_.data() + given_, n);
    given_ += n;
    return n;
}
