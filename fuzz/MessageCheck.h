#pragma once
// For the decoder fuzz targets: a transport that checks, as the bytes are written,
// that they form whole kind-2 messages of the sizes their codes allow. It keeps
// nothing but the header being read, so a run costs no allocation.

#include <cstdint>
#include <cstdlib>

#include "transport/TransportBase.h"

// `Allowed` is bool(uint8_t code, size_t payloadSize).
template <typename Allowed>
class MessageCheck final : public TransportBase {
public:
    explicit MessageCheck(Allowed allowed) : allowed_(allowed) {}

    void close() override {}
    size_t read(void*, size_t) override { return 0; }
    bool wait() override { return true; }
    size_t write(const void* data, size_t size) override {
        auto p = static_cast<const uint8_t*>(data);
        for (size_t left = size; left > 0;) {
            if (payloadLeft_ > 0) {
                size_t n = left < payloadLeft_ ? left : payloadLeft_;
                payloadLeft_ -= n, p += n, left -= n;
                continue;
            }
            header_[have_++] = *p++;
            --left;
            if (have_ < 4) continue;
            payloadLeft_ = size_t{header_[2]} | size_t{header_[3]} << 8;
            if (header_[0] != 2 || !allowed_(header_[1], payloadLeft_)) abort();
            have_ = 0;
        }
        return size;
    }
    // The stream ended: nothing may be left half written.
    void finish() const {
        if (have_ != 0 || payloadLeft_ != 0) abort();
    }

private:
    Allowed allowed_;
    uint8_t header_[4] = {};
    size_t have_ = 0;
    size_t payloadLeft_ = 0;
};
