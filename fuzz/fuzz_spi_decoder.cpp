// Any byte stream through the SPI decoder with any start parameters, cut into reads
// of any size: only whole messages of the sizes their codes have, data messages
// with two halves of at most 4096 bytes.
//
// Input: byte 0 the word width (any value, as a host may send), byte 1 bit 0 the
// little-endian flag and bits 1-3 how many times the stream repeats (1 to 8),
// bytes 2-3 the read size (1 to 20000), the rest the stream.

#include <algorithm>
#include <vector>

#include "MessageCheck.h"
#include "fpga/SpiDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    SpiConfig config{0, data[0], static_cast<uint8_t>(data[1] & 1)};
    int repeat = 1 + (data[1] >> 1 & 7);
    size_t readSize = 1 + (data[2] | data[3] << 8) % 20000;
    data += 4;
    size -= 4;
    MessageCheck out([](uint8_t code, size_t n) {
        switch (code) {
            case 22: return n >= 2 && n <= SpiDecoder::kBufferSize && n % 2 == 0;
            case 7: case 20: case 21: return n == 0;
            case 8: return n == 8;
            case 9: return n == 4;
            default: return false;
        }
    });
    SpiDecoder decoder;
    decoder.reset(config);
    static std::vector<uint8_t> stream;  // kept from run to run: no allocation once grown
    stream.clear();
    for (int r = 0; r < repeat; ++r) stream.insert(stream.end(), data, data + size);
    for (size_t at = 0; at < stream.size(); at += readSize)
        decoder.decode(stream.data() + at, std::min(readSize, stream.size() - at), out);
    out.finish();
    return 0;
}
