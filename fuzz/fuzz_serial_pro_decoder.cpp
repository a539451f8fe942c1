// Any byte stream through the Serial Plim Pro's decoding decoder, cut into reads of
// any size, each read alone in memory so that a look past its end is caught: only
// whole messages of the sizes their codes have, data runs of 1 to 128 bytes.
//
// Input: two bytes give the read size (1 to 1536), the rest is the stream.

#include "SerialProReads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MessageCheck out([](uint8_t code, size_t n) {
        switch (code) {
            case 2: case 3: return n >= 1 && n <= SerialProDecoder_std::kRunCapacity;
            case 44: case 50: return n == 2;
            case 45: case 46: case 47: case 48: return n == 0;
            case 49: return n == 4;
            default: return false;
        }
    });
    SerialProDecoder state;
    SerialProDecoder_std decoder;
    eachRead(data, size, [&](const uint8_t* read, size_t n) { decoder.decode(state, read, n, out); });
    out.finish();
    return 0;
}
