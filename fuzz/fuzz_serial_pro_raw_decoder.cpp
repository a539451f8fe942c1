// Any byte stream through the Serial Plim Pro's raw decoder, cut into reads of any
// size, each read alone in memory so that a look past its end is caught: only
// messages 41 of the state and at least one whole record, 528 bytes at most.
//
// Input: two bytes give the read size (1 to 1536), the rest is the stream.

#include "SerialProReads.h"

namespace {
uint64_t fixedClock() { return 0x0123456789ABCDEF; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MessageCheck out([](uint8_t code, size_t n) {
        return code == 41 && n >= SerialProDecoder_raw::kStateSize + 2 && n <= SerialProDecoder_raw::kMaxPayload;
    });
    SerialProDecoder state;
    SerialProDecoder_raw decoder(&fixedClock);
    eachRead(data, size, [&](const uint8_t* read, size_t n) { decoder.decode(state, read, n, out); });
    out.finish();
    return 0;
}
