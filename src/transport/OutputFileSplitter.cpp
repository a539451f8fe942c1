#include "transport/OutputFileSplitter.h"

#include "foundation/Format.h"

void OutputFileSplitter::init(uint64_t sizeLimit, uint64_t timeLimit, std::string_view outputFileName) {
    sizeLimit_ = sizeLimit;
    timeLimit_ = timeLimit;
    if (!enabled()) {
        fileName_ = outputFileName;
        return;
    }
    size_t dot = findExtension(outputFileName);
    baseName_ = outputFileName.substr(0, dot);
    extension_ = dot == std::string_view::npos ? std::string_view() : outputFileName.substr(dot);
    index_ = 0;
    beginFile();
}

void OutputFileSplitter::beginFile() {
    written_ = 0;
    deadline_ = kNoSplit;
    if (timeLimit_ != kNoSplit) {
        uint64_t now = clock_();
        // A limit too large to add means "never", not a deadline wrapped into the past.
        if (timeLimit_ < kNoSplit - now) deadline_ = now + timeLimit_;
    }
    // Joined rather than formatted with %s, so nothing in the name can cut it short.
    fileName_ = baseName_ + vek::sl::formatString("-%02llu", static_cast<unsigned long long>(index_)) + extension_;
}

bool OutputFileSplitter::onWritten(uint64_t size) {
    if (!enabled()) return false;
    written_ += size;
    if (written_ < sizeLimit_ && (deadline_ == kNoSplit || clock_() < deadline_)) return false;
    ++index_;
    beginFile();
    return true;
}

size_t OutputFileSplitter::findExtension(std::string_view name) {
    size_t found = std::string_view::npos;
    size_t end = name.size();
    while (end > 0) {
        size_t pos = name.find_last_of("./\\", end - 1);
        if (pos == std::string_view::npos || name[pos] != '.') break;
        found = pos;
        end = pos;
    }
    return found;
}
