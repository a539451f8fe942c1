#include "PcapTransport.h"

#include "foundation/Error.h"
#include "session/Message.h"

namespace {
constexpr uint32_t kErrorCallNotImplemented = 120;
}  // namespace

PcapTransport::PcapTransport(TransportBase& sink, DeviceFamily family, PcapConverter::Form form, vek::sys::Clock clock)
    : sink_(sink),
      converter_(family, form),
      clock_(clock),
      scanner_({[this](uint64_t, uint8_t code, std::span<const uint8_t> payload) {
                    converter_.message(clock_(), code, payload, out_);
                },
                nullptr, nullptr}) {}

bool PcapTransport::flush() {
    bool ok = writeAll(sink_, out_.data(), out_.size());
    out_.clear();
    return ok;
}

bool PcapTransport::begin() {
    converter_.begin(out_);
    return flush();
}

bool PcapTransport::finish() {
    converter_.finish(out_);
    return out_.empty() || flush();
}

size_t PcapTransport::read(void*, size_t) {
    vek::err::setWinError(kErrorCallNotImplemented);
    return kIoFailed;
}

size_t PcapTransport::write(const void* buffer, size_t size) {
    scanner_.feed({static_cast<const uint8_t*>(buffer), size});
    if (out_.empty()) return size;
    return flush() ? size : kIoFailed;
}
