// Any byte stream through the I2C decoder, cut into reads of any size: only whole
// messages of the sizes their codes have, runs of 1 to 8191 bytes.
//
// Input: two bytes give the read size (1 to 20000), one how many times the stream
// repeats (1 to 8, so short inputs reach the longest runs), the rest is the stream.

#include <algorithm>
#include <vector>

#include "MessageCheck.h"
#include "fpga/I2cDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    size_t readSize = 1 + (data[0] | data[1] << 8) % 20000;
    int repeat = 1 + data[2] % 8;
    data += 3;
    size -= 3;
    MessageCheck out([](uint8_t code, size_t n) {
        switch (code) {
            case 2: case 3: case 15: case 16: return n >= 1 && n <= I2cDecoder::kMaxRun;
            case 7: case 10: case 13: case 14: return n == 0;
            case 8: return n == 8;
            case 9: case 12: return n == 4;
            case 11: return n == 2;
            default: return false;
        }
    });
    I2cDecoder decoder;
    static std::vector<uint8_t> stream;  // kept from run to run: no allocation once grown
    stream.clear();
    for (int r = 0; r < repeat; ++r) stream.insert(stream.end(), data, data + size);
    for (size_t at = 0; at < stream.size(); at += readSize)
        decoder.decode(stream.data() + at, std::min(readSize, stream.size() - at), out);
    out.finish();
    return 0;
}
