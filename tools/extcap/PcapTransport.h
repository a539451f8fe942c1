#pragma once
// The output transport of a capture for Wireshark: takes the controller's
// framed messages, stamps each with the time it is written (the arrival of
// the read it comes from), and passes them on to `sink` (the capture fifo) as
// pcap records (PcapConverter).
//
// Threads: the controller's writers serialise on this transport's message
// lock; begin and finish run on the main thread before and after the capture.

#include <vector>

#include "FrameScanner.h"
#include "PcapConverter.h"
#include "foundation/Time.h"
#include "transport/TransportBase.h"

class PcapTransport : public TransportBase {
public:
    PcapTransport(TransportBase& sink, DeviceFamily family, PcapConverter::Form form,
                  vek::sys::Clock clock = &vek::sys::systemTime);

    // The pcap global header. False with the last error set.
    bool begin();
    // What is still held back (an I2C transfer with no STOP yet).
    bool finish();
    pcap::LinkType linkType() const { return converter_.linkType(); }

    void close() override { sink_.close(); }
    // Output only: fails with Windows error 120.
    size_t read(void*, size_t) override;
    // Every byte is taken; kIoFailed when the sink fails (its error stays).
    size_t write(const void* buffer, size_t size) override;
    bool wait() override { return sink_.wait(); }

private:
    bool flush();

    TransportBase& sink_;
    PcapConverter converter_;
    vek::sys::Clock clock_;
    FrameScanner scanner_;
    std::vector<uint8_t> out_;
};
