#include "FrameScanner.h"

#include <algorithm>

namespace {
constexpr uint8_t kMessageKind = 2;
constexpr size_t kHeaderSize = 4;
}  // namespace

void FrameScanner::flushSkipped() {
    if (skipCount_ > 0 && events_.skipped) events_.skipped(skipStart_, skipCount_);
    skipCount_ = 0;
}

void FrameScanner::feed(std::span<const uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    size_t at = 0;
    while (pending_.size() - at >= 1) {
        if (pending_[at] != kMessageKind) {
            auto mark = std::find(pending_.begin() + static_cast<ptrdiff_t>(at), pending_.end(), kMessageKind);
            size_t skip = static_cast<size_t>(mark - pending_.begin()) - at;
            if (skipCount_ == 0) skipStart_ = pendingOffset_ + at;
            skipCount_ += skip;
            at += skip;
            continue;
        }
        if (pending_.size() - at < kHeaderSize) break;
        size_t size = pending_[at + 2] | size_t{pending_[at + 3]} << 8;
        if (pending_.size() - at < kHeaderSize + size) break;
        flushSkipped();
        if (events_.message)
            events_.message(pendingOffset_ + at, pending_[at + 1],
                            std::span<const uint8_t>(pending_.data() + at + kHeaderSize, size));
        at += kHeaderSize + size;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(at));
    pendingOffset_ += at;
}

void FrameScanner::finish() {
    while (!pending_.empty()) {
        size_t want = pending_.size() >= kHeaderSize ? kHeaderSize + (pending_[2] | size_t{pending_[3]} << 8) : kHeaderSize;
        flushSkipped();
        if (events_.cutShort) events_.cutShort(pendingOffset_, pending_.size(), want);
        std::vector<uint8_t> rest(pending_.begin() + 1, pending_.end());
        pending_.clear();
        pendingOffset_ += 1;
        feed(rest);
    }
    flushSkipped();
}

void FrameScanner::restart() {
    pending_.clear();
    pendingOffset_ = 0;
    skipCount_ = 0;
}
