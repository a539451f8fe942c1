// The viewer on hostile input: the first byte picks the device family and how
// the rest is cut into reads; the rest is a message stream and also a *.qwlog
// file. Nothing may read outside its bytes, whatever they say.
#include <cstdint>
#include <cstdio>
#include <span>

#include "FrameScanner.h"
#include "Printer.h"
#include "transport/QwlogReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static std::FILE* sink = std::fopen("/dev/null", "w");
    auto family = static_cast<DeviceFamily>(data[0] % 7);
    size_t cut = 1 + data[0] / 7;
    std::span<const uint8_t> bytes(data + 1, size - 1);

    Printer printer(sink, PrintOptions{(data[0] & 1) != 0, true});
    FrameScanner scanner({[&](uint64_t offset, uint8_t code, std::span<const uint8_t> payload) {
                              printer.message(offset, family, code, payload);
                          },
                          nullptr, nullptr});
    for (size_t at = 0; at < bytes.size(); at += cut) scanner.feed(bytes.subspan(at, std::min(cut, bytes.size() - at)));
    scanner.finish();

    QwlogReader reader(bytes);
    if (reader.valid())
        for (const QwlogRecord& r : reader.records()) printer.record(r.timestamp, family, r.code, r.data);
    printer.finish();
    return 0;
}
