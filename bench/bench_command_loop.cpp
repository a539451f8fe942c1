// Throughput of the command loop and of the message writers, with a memcpy of
// the same bytes as the yardstick.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

#include "session/CommandLoop.h"
#include "session/Message.h"
#include "foundation/File.h"
#include "support/FakeController.h"
#include "support/MemoryTransport.h"
#include "transport/FileTransport.h"

namespace {

// Reads come from one buffer; writes are copied into another, as a memory
// transport would, and counted.
class BufferTransport : public TransportBase {
public:
    explicit BufferTransport(const std::vector<uint8_t>& input) : input_(input), sink_(1 << 20) {}
    void close() override {}
    size_t read(void* buffer, size_t size) override {
        size_t n = std::min(size, input_.size() - at_);
        std::memcpy(buffer, input_.data() + at_, n);
        at_ += n;
        return n;
    }
    size_t write(const void* buffer, size_t size) override {
        std::memcpy(sink_.data(), buffer, std::min(size, sink_.size()));
        written += size;
        return size;
    }
    bool wait() override { return true; }

    size_t written = 0;

private:
    const std::vector<uint8_t>& input_;
    size_t at_ = 0;
    std::vector<uint8_t> sink_;
};

std::vector<uint8_t> commandStream(size_t payload, size_t totalBytes) {
    std::vector<uint8_t> one = frame(0x29, std::vector<uint8_t>(payload, 0x5A));
    std::vector<uint8_t> all;
    while (all.size() < totalBytes) all.insert(all.end(), one.begin(), one.end());
    return all;
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> from(static_cast<size_t>(state.range(0)), 0x5A), to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(64)->Arg(8192)->Arg(65535)->Arg(1 << 20);

// Commands of the given payload size, 1 MiB of them per iteration.
void BM_CommandLoop(benchmark::State& state) {
    std::vector<uint8_t> input = commandStream(static_cast<size_t>(state.range(0)), 1 << 20);
    FakeController controller;
    for (auto _ : state) {
        BufferTransport in(input);
        commandLoop(in, controller);
        benchmark::DoNotOptimize(in.written);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}
BENCHMARK(BM_CommandLoop)->Arg(8)->Arg(1000)->Arg(65535);

void BM_WriteMessage(benchmark::State& state) {
    std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
    BufferTransport out(payload);
    for (auto _ : state) writeMessage(out, 0x03, payload.data(), payload.size());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteMessage)->Arg(64)->Arg(8192)->Arg(65535);

// The writer path through a FileTransport to a device (/dev/null): a poll and a
// write for the header and again for the payload, as for standard output.
void BM_WriteMessageToDevNull(benchmark::State& state) {
    std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
    FileTransport out;
    if (!out.open("/dev/null", vek::io::FileMode::kOutputWriteOnly)) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    for (auto _ : state) writeMessage(out, 0x03, payload.data(), payload.size());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteMessageToDevNull)->Arg(64)->Arg(8192)->Arg(65535);

}  // namespace

BENCHMARK_MAIN();
