#include "foundation/MappedFile.h"

#include <algorithm>

#include "foundation/Error.h"
#include "foundation/Stream.h"

namespace vek::io {

MappedFile::MappedFile() : MappedFile(System::create()) {}

MappedFile::MappedFile(std::unique_ptr<System> system) : system_(std::move(system)) {
    views_.reserve(kMaxViews);
}

MappedFile::~MappedFile() { close(); }

bool MappedFile::open(std::string_view name) {
    close();
    open_ = system_->open(name);
    return open_;
}

void MappedFile::close() {
    if (!open_) return;
    unmapAll();
    system_->unmap();
    system_->close();
    mappingSize_ = 0;
    open_ = false;
}

bool MappedFile::fileSize(uint64_t* size) const {
    if (!open_) return failClosed(), false;
    return system_->size(size);
}

bool MappedFile::ensureMapped(uint64_t end) {
    if (mappingSize_ != 0 && end <= mappingSize_) return true;
    const uint64_t unit = sizeAlignment();
    if (end > ~uint64_t{0} - kGrowth - unit) return err::setWinError(err::kWinInvalidParameter), false;
    uint64_t size = (end + kGrowth + unit - 1) / unit * unit;
    // A failed attempt leaves no mapping: the next request tries again.
    mappingSize_ = 0;
    if (!system_->map(size)) return false;
    mappingSize_ = size;
    return true;
}

uint8_t* MappedFile::mapHeader(size_t size) {
    if (!open_) return failClosed(), nullptr;
    if (size == 0) return err::setWinError(err::kWinInvalidParameter), nullptr;
    release(header_);
    if (!ensureMapped(size)) return nullptr;
    uint8_t* base = system_->mapView(0, size);
    if (base) header_ = View{base, 0, size, 0};
    return base;
}

MappedFile::View* MappedFile::findView(uint64_t offset, uint64_t end) {
    auto covers = [&](const View& v) { return v.offset <= offset && end <= v.offset + v.length; };
    // Records are appended one after the other: the last view used nearly always serves.
    if (lastHit_ < views_.size() && covers(views_[lastHit_])) return &views_[lastHit_];
    for (size_t i = 0; i < views_.size(); ++i) {
        if (covers(views_[i])) {
            lastHit_ = i;
            return &views_[i];
        }
    }
    return nullptr;
}

uint8_t* MappedFile::map(uint64_t offset, size_t size) {
    if (!open_) return failClosed(), nullptr;
    if (size > ~uint64_t{0} - offset) return err::setWinError(err::kWinInvalidParameter), nullptr;
    const uint64_t end = offset + size;
    if (View* hit = findView(offset, end)) {
        hit->lastUse = ++useClock_;
        return hit->base + (offset - hit->offset);
    }
    if (!ensureMapped(end)) return nullptr;
    if (views_.size() == kMaxViews) {
        auto oldest = std::min_element(views_.begin(), views_.end(),
                                       [](const View& a, const View& b) { return a.lastUse < b.lastUse; });
        release(*oldest);
        views_.erase(oldest);
    }
    // To the end of the mapping, so the records that follow find this view.
    const uint64_t start = offset - offset % viewAlignment();
    const size_t length = static_cast<size_t>(mappingSize_ - start);
    uint8_t* base = system_->mapView(start, length);
    if (!base) return nullptr;
    views_.push_back(View{base, start, length, ++useClock_});
    lastHit_ = views_.size() - 1;
    return base + (offset - start);
}

void MappedFile::release(View& view) {
    if (view.base) system_->unmapView(view.base, view.length);
    view = View{};
}

void MappedFile::unmapAll() {
    for (View& v : views_) release(v);
    views_.clear();
    release(header_);
}

bool MappedFile::setSize(uint64_t size) {
    if (!open_) return failClosed(), false;
    if (header_.base || !views_.empty()) return err::setWinError(err::kWinInvalidHandleState), false;
    system_->unmap();
    mappingSize_ = 0;
    return system_->setSize(size);
}

bool MappedFile::flush() {
    if (!open_) return failClosed(), false;
    bool ok = true;
    for (View& v : views_) ok = system_->flushView(v.base, v.length) && ok;
    if (header_.base) ok = system_->flushView(header_.base, header_.length) && ok;
    return system_->sync() && ok;
}

}  // namespace vek::io
