// The USB read pipeline end to end: a simulated device streaming as fast as it is
// read -> UsbControllerBase (event, read and process threads) -> framed messages ->
// a transport that discards them. The yardstick is memcpy of the same bytes in the
// same block size, measured first; "vs_memcpy" is the pipeline's share of it.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "session/Message.h"
#include "qwsim/Simulator.h"
#include "usb/UsbContext.h"
#include "usb/UsbControllerBase.h"

namespace {

constexpr size_t kBytesPerIteration = size_t{32} << 20;

// Copies kBytesPerIteration in blocks of `block`; seconds taken.
double copySeconds(size_t block) {
    std::vector<uint8_t> from(block, 0x55), to(block);
    auto start = std::chrono::steady_clock::now();
    for (size_t done = 0; done < kBytesPerIteration; done += block) {
        std::memcpy(to.data(), from.data(), block);
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class DiscardTransport final : public TransportBase {
public:
    void close() override {}
    size_t read(void*, size_t) override { return 0; }
    size_t write(const void*, size_t size) override {
        uint64_t total = bytes_.fetch_add(size, std::memory_order_relaxed) + size;
        if (total >= target_.load(std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> hold(mutex_);
            cv_.notify_all();
        }
        return size;
    }
    bool wait() override { return true; }

    // Blocks until `more` bytes beyond the current count were written.
    void waitFor(uint64_t more) {
        std::unique_lock<std::mutex> hold(mutex_);
        uint64_t goal = bytes_.load() + more;
        target_ = goal;
        cv_.wait(hold, [&] { return bytes_.load() >= goal; });
    }

private:
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint64_t> target_{UINT64_MAX};
    std::mutex mutex_;
    std::condition_variable cv_;
};

class PipelineController final : public UsbControllerBase {
public:
    using UsbControllerBase::UsbControllerBase;
    std::span<const vek::Guid> getLogGuids() const override { return {}; }
    bool processCommand(const uint8_t*) override { return false; }
    bool start(TransportBase* output, TransportBase*) override {
        outputTransport = output;
        return findDevice(0x16d0, 0x0f3b) && claimInterface(0) && startThreads();
    }

protected:
    bool submitReads() override {
        return queueReads(inFlight_, 0, 0x81, UsbReadBlock::kBulk, static_cast<uint32_t>(settings->readBlockSize));
    }
    void cancelReads() override { cancelAndWait(inFlight_); }
    void onReadCompleted(UsbReadBlock* block) override { completeRead(inFlight_, block); }
    bool processData(UsbReadBlock* block) override {
        reads.fetch_add(1, std::memory_order_relaxed);
        return writeMessage(*outputTransport, 0x02, block->data(), static_cast<size_t>(block->result));
    }

public:
    std::atomic<uint64_t> reads{0};

private:
    UsbReadBlockList inFlight_;
};

void BM_Memcpy(benchmark::State& state) {
    size_t block = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> from(block, 0x55), to(block);
    for (auto _ : state) {
        for (size_t done = 0; done < kBytesPerIteration; done += block) {
            std::memcpy(to.data(), from.data(), block);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytesPerIteration));
}

void BM_UsbPipeline(benchmark::State& state) {
    std::string error;
    if (!qwsim::loadScenario("device 16d0:0f3b\nendpoint 0x81\npattern fill 0x55 *\n", &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    vek::io::UsbContext context;
    vek::io::UsbEventThread events;
    context.init();
    events.start(context.get());
    Settings settings;
    settings.readBlockSize = static_cast<uint64_t>(state.range(0));
    settings.readParallelism = static_cast<uint64_t>(state.range(1));
    DiscardTransport out;
    {
        PipelineController controller(&settings);
        if (!controller.start(&out, nullptr)) {
            state.SkipWithError("the simulated device did not start");
        } else {
            out.waitFor(kBytesPerIteration / 8);  // warm up: blocks allocated, threads running
            double copy = copySeconds(static_cast<size_t>(settings.readBlockSize));
            uint64_t blocksBefore = UsbReadBlock::allocations();
            uint64_t readsBefore = controller.reads.load();
            auto start = std::chrono::steady_clock::now();
            for (auto _ : state) out.waitFor(kBytesPerIteration);
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            uint64_t reads = controller.reads.load() - readsBefore;
            state.counters["vs_memcpy"] = copy * static_cast<double>(state.iterations()) / seconds;
            state.counters["blocks_allocated_per_read"] =
                static_cast<double>(UsbReadBlock::allocations() - blocksBefore) / static_cast<double>(reads ? reads : 1);
            controller.stop();
            controller.waitAndClose();
        }
    }
    events.stop();
    context.exit();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytesPerIteration));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(8192)->Arg(65536)->UseRealTime();
BENCHMARK(BM_UsbPipeline)->Args({8192, 8})->Args({65536, 8})->Args({8192, 2})->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
