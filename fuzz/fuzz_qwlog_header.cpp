// Hostile file contents opened as a *.qwlog output: the open always succeeds
// (a header is written when the file is not a valid log with our class), a
// valid file keeps its records and gets the new one right after them, and
// nothing is read outside the file.
//
// Input: the file's contents. The file lives in /dev/shm where there is one,
// so a run costs no disk I/O.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "transport/QwlogReader.h"
#include "transport/QwlogTransport.h"

namespace {

constexpr vek::Guid kSerialGuid{0x29725452, 0xE64F, 0x4C0E, {0xA8, 0x71, 0x77, 0x62, 0x77, 0xB6, 0x85, 0x72}};
constexpr uint8_t kMessage[] = {2, 3, 2, 0, 'h', 'i'};

const std::string& filePath() {
    static const std::string path = [] {
        namespace fs = std::filesystem;
        fs::path dir = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        return (dir / ("qwlog-fuzz-" + std::to_string(getpid()) + ".qwlog")).string();
    }();
    return path;
}

// In one read: the byte-wise helper of the tests would dominate each run.
std::vector<uint8_t> readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> before(data, data + size);
    writeFileBytes(filePath(), before);
    QwlogReader original(before);
    bool keeps = false;
    if (original.valid()) {
        for (const vek::Guid& g : original.classGuids()) keeps = keeps || g == kSerialGuid;
    }

    QwlogTransport t;
    if (!t.open(filePath(), kNoSplit, kNoSplit, {&kSerialGuid, 1})) abort();
    if (t.write(kMessage, sizeof kMessage) != sizeof kMessage) abort();
    t.close();

    const std::vector<uint8_t> after = readWhole(filePath());
    QwlogReader log(after);
    if (!log.valid() || log.header().recordsSize < qwlog::kRecordHeaderSize + 2) abort();
    const uint64_t newRecord = log.header().end() - qwlog::kRecordHeaderSize - 2;
    if (keeps) {
        // Everything up to the old records' end is as it was, but the counts.
        const uint64_t oldEnd = original.header().end();
        if (newRecord != oldEnd || log.header().recordCount != original.header().recordCount + 1) abort();
        if (std::memcmp(after.data() + qwlog::kAtLastRecordSize + 4, before.data() + qwlog::kAtLastRecordSize + 4,
                        static_cast<size_t>(oldEnd) - qwlog::kAtLastRecordSize - 4) != 0)
            abort();
    } else {
        if (log.header().recordCount != 1 || log.classGuids() != std::vector<vek::Guid>{kSerialGuid}) abort();
    }
    if (std::memcmp(after.data() + newRecord + qwlog::kRecordHeaderSize, "hi", 2) != 0) abort();
    return 0;
}
