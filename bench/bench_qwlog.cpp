// Throughput of the *.qwlog writer for data messages, with two yardsticks: a
// memcpy of the same payload bytes, and the same bytes copied into a bare
// mapped file (what the storage allows: fresh pages of a growing file cost a
// page fault each). Bytes are counted as payload.
//
// The log file lives in QW_BENCH_DIR when set, else in the system's temporary
// folder; each run starts a fresh file and removes it afterwards.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/MappedFile.h"
#include "session/Message.h"
#include "support/MemoryTransport.h"
#include "support/TempDir.h"
#include "transport/QwlogTransport.h"

namespace {

constexpr vek::Guid kSerialGuid{0x29725452, 0xE64F, 0x4C0E, {0xA8, 0x71, 0x77, 0x62, 0x77, 0xB6, 0x85, 0x72}};

std::string logPath() {
    const char* dir = std::getenv("QW_BENCH_DIR");
    std::filesystem::path folder = dir && *dir ? std::filesystem::path(dir) : std::filesystem::temp_directory_path();
    return (folder / (uniqueName() + ".qwlog")).string();
}

// A fresh log for one run of a benchmark, removed when the run ends.
struct BenchLog {
    std::string path = logPath();
    QwlogTransport log;
    bool opened = false;
    BenchLog() {
        std::filesystem::remove(path);
        opened = log.open(path, kNoSplit, kNoSplit, {&kSerialGuid, 1});
    }
    ~BenchLog() {
        log.close();
        std::filesystem::remove(path);
    }
};

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> from(static_cast<size_t>(state.range(0)), 0x5A), to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(64)->Arg(8192);

// The storage's own ceiling: the same bytes copied into a mapped file growing
// by the same rule, with no conversion and no header.
void BM_MappedFileCopy(benchmark::State& state) {
    const std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)) + 24, 0x5A);
    const std::string path = logPath();
    {
        vek::io::MappedFile file;
        if (!file.open(path)) return state.SkipWithError("cannot open the file");
        uint64_t at = 0;
        for (auto _ : state) {
            uint8_t* p = file.map(at, bytes.size());
            if (!p) return state.SkipWithError("map failed");
            std::memcpy(p, bytes.data(), bytes.size());
            at += bytes.size();
        }
    }
    std::filesystem::remove(path);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MappedFileCopy)->Arg(64)->Arg(8192);

// Each message in one write: header and payload gathered, as the message
// writers will send them.
void BM_QwlogWrite(benchmark::State& state) {
    const std::vector<uint8_t> message = frame(0x03, std::vector<uint8_t>(static_cast<size_t>(state.range(0)), 0x5A));
    BenchLog out;
    if (!out.opened) return state.SkipWithError("cannot open the log file");
    for (auto _ : state) {
        if (out.log.write(message.data(), message.size()) != message.size())
            return state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_QwlogWrite)->Arg(64)->Arg(8192);

// Through writeMessage: today the header and the payload are two writes, so
// the writer reassembles every message.
void BM_QwlogWriteMessage(benchmark::State& state) {
    const std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
    BenchLog out;
    if (!out.opened) return state.SkipWithError("cannot open the log file");
    for (auto _ : state) {
        if (!writeMessage(out.log, 0x03, payload.data(), payload.size())) return state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_QwlogWriteMessage)->Arg(64)->Arg(8192);

}  // namespace

BENCHMARK_MAIN();
