// UsbControllerBase on simulated devices: finding the device, the read pipeline,
// its failures, stop, restart and draining an endpoint.
#include <algorithm>
#include <condition_variable>
#include <future>

#include "UsbTestSupport.h"
#include "app/session/Message.h"
#include "support/MemoryTransport.h"
#include "usb/UsbControllerBase.h"

using namespace vek;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kDataMessage = 0x02;
const std::string kDevice = "device 16d0:0f3b\nendpoint 0x81\n";

Bytes counter(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

Bytes errorBytes(err::ErrorRef e) { return Bytes(e.data(), e.data() + e.size()); }
Bytes record(const Guid& domain, int code) {
    return errorBytes(err::Error::fromCode(domain, static_cast<uint32_t>(code)).ref());
}

// The data messages' payloads joined, and the error messages' payloads.
struct Stream {
    Bytes data;
    std::vector<Bytes> errors;
};
Stream split(const MemoryTransport& t) {
    Stream s;
    for (const HostMessage& m : parseMessages(t.output())) {
        if (m.code == kMsgError)
            s.errors.push_back(m.payload);
        else
            s.data.insert(s.data.end(), m.payload.begin(), m.payload.end());
    }
    return s;
}

// Reads endpoint 0x81 with its own settings and forwards each read to `out` as a
// message of code 0x02; tells what its threads did.
class TestController final : public UsbControllerBase {
public:
    explicit TestController(uint64_t parallelism = 2, uint64_t blockSize = 16) : UsbControllerBase(&config) {
        config.readParallelism = parallelism;
        config.readBlockSize = blockSize;
    }
    ~TestController() override { EXPECT_TRUE(inFlight_.empty()); }

    std::span<const Guid> getLogGuids() const override { return {}; }
    bool processCommand(const uint8_t*) override { return false; }
    bool start(TransportBase* output, TransportBase*) override {
        outputTransport = output;
        passes_ = 0;  // counted per run
        return findDevice(kTestVid, kTestPid) && claimInterface(0) && startThreads();
    }
    bool start() { return start(&out, nullptr); }
    void finish() {
        stop();
        waitAndClose();
    }
    bool startAgain() { return startThreads(); }
    // A vendor request, so the record shows which device is open.
    bool ping() { return device.controlTransfer(0x40, 0, 0, 0, nullptr, 0, 0) == 0; }

    // Per completed read, as the event thread saw it: the first byte (-1 for none)
    // and how many reads completeRead handed on.
    std::vector<std::pair<int, size_t>> completions() {
        std::lock_guard<std::mutex> hold(lock);
        return completions_;
    }
    bool waitForPasses(size_t n) { return waitFor([&] { return passes_ >= n; }); }
    bool waitForCompletions(size_t n) { return waitFor([&] { return completions_.size() >= n; }); }

    Settings config;
    MemoryTransport out;
    using UsbControllerBase::completedList;
    using UsbControllerBase::drainEndpoint;
    using UsbControllerBase::findDevice;
    using UsbControllerBase::freeList;
    using UsbControllerBase::stateFlags;

protected:
    bool submitReads() override {
        bool ok = queueReads(inFlight_, 0, 0x81, UsbReadBlock::kBulk, static_cast<uint32_t>(config.readBlockSize));
        ++passes_;
        changed_.notify_all();
        return ok;
    }
    void cancelReads() override { cancelAndWait(inFlight_); }
    void onReadCompleted(UsbReadBlock* block) override {
        int first = block->result > 0 ? block->data()[0] : -1;
        completions_.emplace_back(first, completeRead(inFlight_, block));
        changed_.notify_all();
    }
    bool processData(UsbReadBlock* block) override {
        return writeMessage(*outputTransport, kDataMessage, block->data(), static_cast<size_t>(block->result));
    }

private:
    template <class Pred>
    bool waitFor(Pred pred) {
        std::unique_lock<std::mutex> hold(lock);
        return changed_.wait_for(hold, std::chrono::seconds(10), pred);
    }

    UsbReadBlockList inFlight_;
    std::condition_variable changed_;
    size_t passes_ = 0;  // under `lock`, as is:
    std::vector<std::pair<int, size_t>> completions_;
};

}  // namespace

class UsbController : public UsbSimTest {};

TEST_F(UsbController, FindsTheNthDeviceOfItsModel) {
    struct {
        const char* bus;
        uint64_t index;
        const char* result;  // the name of the device opened, or the error
    } cases[] = {
        {"", 0, "plim[0] not available; 0 plim(s) total\n"},
        {"device 16d0:0f3b name=a\ndevice 16d0:0f3b name=b\n", 2, "plim[2] not available; 2 plim(s) total\n"},
        {"device 16d0:0f3b name=a\ndevice 1234:0f3b name=x\ndevice 16d0:0f3b name=b\n", 1, "b"},
        {"device 16d0:0f3b name=u\ndescriptor unreadable\ndevice 16d0:0f3b name=a\n", 1,
         "plim[1] not available; 1 plim(s) total\n"},
        {"device 16d0:0f3b\nfail open access\n", 0, "Access denied (insufficient permissions)"},
        {"fail list nomem\ndevice 16d0:0f3b\n", 0, "Insufficient memory"},
    };
    for (const auto& k : cases) {
        load(k.bus);
        TestController c;
        c.config.deviceIndex = k.index;
        if (c.findDevice(kTestVid, kTestPid)) {
            ASSERT_TRUE(c.ping());
            EXPECT_EQ(recorded(std::string("control dev=") + k.result + " ").size(), 1u) << k.bus;
        } else {
            EXPECT_EQ(err::getLastErrorDescription(), k.result) << k.bus;
        }
        c.waitAndClose();
    }
}

TEST_F(UsbController, HandsReadsOnInSubmissionOrderWhenTheyCompleteOutOfOrder) {
    load(kDevice + "bytes 01020304\nchunk 2\norder 2 1\n");
    TestController c;
    ASSERT_TRUE(c.start());
    ASSERT_TRUE(c.waitForCompletions(2));
    // Read 2 came back first and had to wait; read 1 then took both along.
    EXPECT_EQ(c.completions(), (std::vector<std::pair<int, size_t>>{{3, 0}, {1, 2}}));
    ASSERT_TRUE(c.out.waitForOutput(2 * (4 + 2)));
    c.finish();
    auto messages = parseMessages(c.out.output());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].payload, (Bytes{1, 2}));
    EXPECT_EQ(messages[1].payload, (Bytes{3, 4}));
}

TEST_F(UsbController, DeliversTimedOutCancelledAndLongReadsWholeAndSkipsEmptyOnes) {
    struct {
        const char* source;
        uint64_t blockSize;
        Bytes data;
        size_t messages, completions;
    } cases[] = {
        {"bytes 0a0b\nstatus 1 timeout", 16, {0x0a, 0x0b}, 1, 1},
        {"bytes 0a0b\nstatus 1 cancelled", 16, {0x0a, 0x0b}, 1, 1},
        {"bytes 01\nthen zlp", 16, {1}, 1, 20},
        {"pattern counter 100000", 100000, counter(100000), 2, 1},  // a message holds at most 65535 bytes
    };
    for (const auto& k : cases) {
        load(kDevice + k.source + "\n");
        TestController c(2, k.blockSize);
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(c.waitForCompletions(k.completions)) << k.source;
        ASSERT_TRUE(c.out.waitForOutput(4 * k.messages + k.data.size())) << k.source;
        c.finish();
        Stream got = split(c.out);
        EXPECT_EQ(parseMessages(c.out.output()).size(), k.messages) << k.source;
        EXPECT_TRUE(got.errors.empty()) << k.source;
        EXPECT_EQ(got.data, k.data) << k.source;
    }
}

TEST_F(UsbController, AFailureSendsOneErrorEndsTheCommandInputAndFailsTheRun) {
    struct {
        const char* bus;
        const char* endpoint;
        Guid domain;
        int code;
        Bytes data;  // at most: reads that completed before the failure may not have been processed
        bool commands;
    } cases[] = {
        {"", "bytes 0a\nstatus 1 error", err::kUsbDomain, LIBUSB_TRANSFER_ERROR, {}, true},
        {"", "bytes 0a0b\nchunk 1\nstatus 2 stall", err::kUsbDomain, LIBUSB_TRANSFER_STALL, {0x0a}, true},
        {"", "bytes 0a\nstatus 1 7", err::kUsbDomain, 7, {}, true},
        // Without command input only the failure itself can end the session.
        {"", "bytes 0a\nstatus 1 nodevice", err::kUsbDomain, LIBUSB_TRANSFER_NO_DEVICE, {}, false},
        {"fail alloc 3\n", "bytes 0a0b\nchunk 1", err::kWinDomain, err::kWinNoSystemResources, {0x0a, 0x0b}, true},
        {"", "bytes 0a0b\nchunk 1\nfail submit 3 io", err::kUsbDomain, LIBUSB_ERROR_IO, {0x0a, 0x0b}, true},
    };
    for (const auto& k : cases) {
        load(k.bus + kDevice + k.endpoint + "\n");
        TestController c;
        MemoryTransport command;  // no input: it ends only when the failure closes it
        Bytes failure;
        auto run = std::async(std::launch::async, [&] {
            bool ok = c.run(&c.out, k.commands ? &command : nullptr);
            failure = errorBytes(err::getLastError());
            return ok;
        });
        if (run.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the session did not end: " << k.endpoint;
            c.stop();
            command.close();
        }
        EXPECT_FALSE(run.get()) << k.endpoint;
        Bytes expected = record(k.domain, k.code);
        EXPECT_EQ(failure, expected) << k.endpoint;
        Stream got = split(c.out);
        EXPECT_EQ(got.errors, std::vector<Bytes>{expected}) << k.endpoint;
        EXPECT_EQ(got.data, Bytes(k.data.begin(), k.data.begin() + std::min(got.data.size(), k.data.size())));
    }
}

TEST_F(UsbController, StopCancelsTheReadsInFlightAndWaitsForThem) {
    for (uint64_t parallelism : {4u, 0u}) {  // 0: no read at all
        load(kDevice);                          // a silent endpoint
        TestController c(parallelism, 64);
        uint64_t blocks = UsbReadBlock::allocations();
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(c.waitForPasses(1));
        EXPECT_EQ(qwsim::counters().liveTransfers, parallelism);
        c.finish();
        EXPECT_EQ(c.completions().size(), parallelism);
        EXPECT_EQ(c.completedList.count(), 0u);
        EXPECT_EQ(c.freeList.count(), parallelism);
        EXPECT_EQ(UsbReadBlock::allocations() - blocks, parallelism);
        EXPECT_EQ(qwsim::counters().allocations, parallelism);
        EXPECT_EQ(c.stateFlags.load(), ControllerBase::kClosed);
        EXPECT_TRUE(c.out.output().empty());
    }
}

TEST_F(UsbController, RestartsOnTheBlocksItHasWhileTheyAreLargeEnough) {
    load(kDevice + "bytes 0102\nchunk 1\n");
    TestController c(2, 16);
    ASSERT_TRUE(c.start());
    EXPECT_TRUE(c.startAgain());  // a second start leaves the running threads alone
    ASSERT_TRUE(c.out.waitForOutput(2 * 5));
    c.finish();
    EXPECT_EQ(split(c.out).data, (Bytes{1, 2}));
    // The new read blocks a restart took; it always submits two reads.
    auto restart = [&](uint64_t blockSize) {
        uint64_t blocks = UsbReadBlock::allocations();
        size_t transfers = qwsim::counters().allocations;
        c.config.readBlockSize = blockSize;
        EXPECT_TRUE(c.start());
        EXPECT_TRUE(c.waitForPasses(1));
        c.finish();
        EXPECT_EQ(qwsim::counters().allocations, transfers + 2);
        return UsbReadBlock::allocations() - blocks;
    };
    EXPECT_EQ(restart(16), 0u);
    EXPECT_EQ(restart(1024), 2u);  // the free blocks hold 16 bytes
}

TEST_F(UsbController, DrainEndsOnAnEmptyReadOrAQuietEndpoint) {
    struct {
        const char* source;
        bool result;
        int lastError;  // 0: none expected
    } cases[] = {
        {"bytes 0102\nthen zlp", true, 0},
        {"pattern counter 100000", true, LIBUSB_ERROR_TIMEOUT},
        {"bytes 01\nthen stall", false, LIBUSB_ERROR_PIPE},
    };
    for (const auto& k : cases) {
        load("speed 50\n" + kDevice + k.source + "\n");  // the 500 ms wait lasts 10 ms
        TestController c;
        ASSERT_TRUE(c.findDevice(kTestVid, kTestPid));
        err::setError(err::noError());
        EXPECT_EQ(c.drainEndpoint(0x81), k.result) << k.source;
        if (k.lastError) {
            EXPECT_EQ(errorBytes(err::getLastError()), record(err::kUsbDomain, k.lastError)) << k.source;
        }
        c.waitAndClose();
    }
}
