// Hostile message streams through the *.qwlog converter, fed whole and in
// chunks: both give the same records, no record is longer than a message can
// make it, and the held partial message never passes one message's size.
//
// Input: one byte choosing the chunk size (1 to 256), then the stream.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "transport/QwlogConverter.h"

namespace {

struct Collector : QwlogRecordSink {
    std::vector<uint64_t> codes;
    std::vector<uint8_t> data;
    bool writeRecord(uint64_t code, ByteSpan first, ByteSpan second) override {
        // A text error record adds its header and a NUL to at most 65535 text bytes.
        if (first.size() + second.size() > 0xFFFF + 25) abort();
        codes.push_back(code);
        data.insert(data.end(), first.begin(), first.end());
        data.insert(data.end(), second.begin(), second.end());
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t chunk = size_t{data[0]} + 1;
    ByteSpan stream(data + 1, size - 1);

    Collector whole, chunked;
    QwlogConverter a(whole), b(chunked);
    if (!a.convert(stream) || a.partialSize() > QwlogConverter::kMaxPartial) abort();
    for (size_t at = 0; at < stream.size(); at += chunk) {
        if (!b.convert(stream.subspan(at, std::min(chunk, stream.size() - at)))) abort();
        if (b.partialSize() > QwlogConverter::kMaxPartial) abort();
    }
    if (!b.convert({}) || a.partialSize() != b.partialSize()) abort();
    if (whole.codes != chunked.codes || whole.data != chunked.data) abort();
    return 0;
}
