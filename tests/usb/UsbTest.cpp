// The USB layer on simulated devices: the libusb access layer (error texts and
// records, event handling, the device and transfer wrappers) and UsbControllerBase
// (finding the device, the read pipeline, its failures, stop, restart, draining an
// endpoint). Start-up and exit order: tests/e2e/test_usb_startup.py.
#include <chrono>
#include <condition_variable>

#include "foundation/Thread.h"
#include "support/UsbSimTest.h"
#include "usb/UsbControllerBase.h"
#include "usb/UsbDevice.h"

using namespace vek;

namespace {

const std::string kDevice = "device 16d0:0f3b\nendpoint 0x81\n";

// Reads endpoint 0x81 with its own settings and forwards each read to `out` as a
// message of code 0x02; tells what its threads did.
class TestController final : public UsbControllerBase {
public:
    explicit TestController(uint64_t parallelism = 2, uint64_t blockSize = 16) : UsbControllerBase(&config) {
        config.readParallelism = parallelism;
        config.readBlockSize = blockSize;
    }

    std::span<const Guid> getLogGuids() const override { return {}; }
    bool processCommand(const uint8_t*) override { return false; }
    bool start(TransportBase* output, TransportBase*) override {
        outputTransport = output;
        passes_ = 0;  // counted per run
        return findDevice(0x16d0, 0x0f3b) && claimInterface(0) && startThreads();
    }
    bool start() { return start(&out, nullptr); }
    void finish() { stop(), waitAndClose(); }
    bool startAgain() { return startThreads(); }
    // A vendor request, so the record shows which device is open.
    bool ping() { return device.controlTransfer(0x40, 0, 0, 0, nullptr, 0, 0) == 0; }

    // Per completed read, as the event thread saw it: the first byte (-1 for none)
    // and how many reads completeRead handed on.
    std::vector<std::pair<int, size_t>> completions() {
        std::lock_guard<std::mutex> hold(lock);
        return completions_;
    }
    // Blocks until this run made `passes` submission passes and there were `completions`.
    bool waitFor(size_t passes, size_t completions = 0) {
        std::unique_lock<std::mutex> hold(lock);
        return changed_.wait_for(hold, std::chrono::seconds(10),
                                 [&] { return passes_ >= passes && completions_.size() >= completions; });
    }

    Settings config;
    MemoryTransport out;
    using UsbControllerBase::completedList, UsbControllerBase::freeList, UsbControllerBase::stateFlags;
    using UsbControllerBase::drainEndpoint, UsbControllerBase::findDevice;

protected:
    bool submitReads() override {
        bool ok = queueReads(inFlight_, 0, 0x81, UsbReadBlock::kBulk, static_cast<uint32_t>(config.readBlockSize));
        ++passes_;
        changed_.notify_all();
        return ok;
    }
    void cancelReads() override {
        cancelAndWait(inFlight_);
        std::lock_guard<std::mutex> hold(lock);
        EXPECT_TRUE(inFlight_.empty());  // every read came back before it returned
    }
    void onReadCompleted(UsbReadBlock* block) override {
        completions_.emplace_back(block->result > 0 ? block->data()[0] : -1, completeRead(inFlight_, block));
        changed_.notify_all();
    }
    bool processData(UsbReadBlock* block) override {
        return writeMessage(*outputTransport, 0x02, block->data(), static_cast<size_t>(block->result));
    }

private:
    UsbReadBlockList inFlight_;
    std::condition_variable changed_;
    size_t passes_ = 0;  // under `lock`, as is:
    std::vector<std::pair<int, size_t>> completions_;
};

}  // namespace

class UsbAccess : public UsbSimTest {};

TEST_F(UsbAccess, DescribesErrorCodesAndTransferStatuses) {
    const std::pair<int, const char*> cases[] = {
        {0, "Success"}, {-1, "Input/Output Error"}, {-2, "Invalid parameter"},
        {-3, "Access denied (insufficient permissions)"}, {-4, "No such device (it may have been disconnected)"},
        {-5, "Entity not found"}, {-6, "Resource busy"}, {-7, "Operation timed out"}, {-8, "Overflow"},
        {-9, "Pipe error"}, {-10, "System call interrupted (perhaps due to signal)"}, {-11, "Insufficient memory"},
        {-12, "Operation not supported or unimplemented on this platform"}, {-13, "Other error"}, {-14, "Other error"},
        {INT32_MIN, "Other error"}, {1, "Transfer failed"}, {2, "Transfer timed out"}, {3, "Transfer was cancelled"},
        {4, "Endpoint stalled"}, {5, "Device was disconnected"}, {6, "Device sent more data than requested"},
        {7, "Other transfer error"}, {INT32_MAX, "Other transfer error"},
    };
    for (auto [code, text] : cases) {
        err::Error e = err::Error::fromCode(err::kUsbDomain, static_cast<uint32_t>(code));
        EXPECT_EQ(err::getErrorDescription(e.ref()), text) << code;
    }
}

TEST_F(UsbAccess, HandleEventsGivesLibusbMicrosecondsOrBlocks) {
    load("speed 10000\ntrace events\n");
    events.stop();  // only this thread handles events here
    qwsim::clearRecordedLines();
    for (uint32_t ms : {7u, 1500u, io::UsbContext::kInfinite}) EXPECT_TRUE(io::UsbContext::handleEvents(nullptr, ms));
    EXPECT_EQ(recorded("events"), (std::vector<std::string>{"events timeout_us=7000", "events timeout_us=1500000",
                                                            "events blocking"}));
}

TEST_F(UsbAccess, EventThreadStopInterruptsThePassUnderWay) {
    load("speed 0.01\ntrace events\n");  // slowed down: a pass would last 50 s
    while (recorded("events timeout_us=500000").empty()) io::UsbContext::handleEvents(nullptr, 1);
    auto begin = std::chrono::steady_clock::now();
    events.stop();
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(recorded("events interrupt").size(), 1u);
    EXPECT_LT(took, std::chrono::seconds(10));  // far below a pass, however loaded the machine
}

TEST_F(UsbAccess, WrappersReportFailuresInTheirDomains) {
    load("fail alloc 2\ndevice 1234:0001\ndevice 16d0:0f3b\nfail claim busy\nfail control 0x40 9 busy\n");
    io::UsbTransfer t;
    ASSERT_TRUE(t.create(0));
    EXPECT_FALSE(t.create(0));  // the first was freed, the second allocation fails
    EXPECT_EQ(lastErrorRecord(), errorRecordOf(err::kWinDomain, err::kWinNoSystemResources));

    io::UsbDevice dev;
    EXPECT_FALSE(dev.openByVidPid(0x1111, 0x2222));
    EXPECT_EQ(lastErrorRecord(), errorRecordOf(err::kWinDomain, err::kWinFileNotFound));
    ASSERT_TRUE(dev.openByVidPid(0x1234, 0x0001));
    ASSERT_TRUE(dev.openByVidPid(0x16d0, 0x0f3b));
    // The first device's reference went with its handle.
    EXPECT_EQ(qwsim::counters().deviceRefs, 2);  // one held, one for the open handle
    EXPECT_FALSE(dev.claimInterface(0));
    EXPECT_EQ(lastErrorRecord(), errorRecordOf(err::kUsbDomain, LIBUSB_ERROR_BUSY));

    // "No limit" is 0 to libusb.
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(dev.controlTransfer(0x40, 1, 0, 0, data, 4, 0xFFFFFFFF), 4);
    EXPECT_EQ(dev.controlTransfer(0x40, 9, 0, 0, data, 4, 250), -1);
    EXPECT_EQ(lastErrorRecord(), errorRecordOf(err::kUsbDomain, LIBUSB_ERROR_BUSY));
    std::vector<std::string> lines = recorded("control");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" timeout=0 "), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" timeout=250 "), std::string::npos) << lines[1];
}

class UsbController : public UsbSimTest {};

TEST_F(UsbController, FindsTheNthDeviceOfItsModel) {
    // {bus, index, the name of the device opened or the error}
    const std::tuple<const char*, uint64_t, const char*> cases[] = {
        {"", 0, "plim[0] not available; 0 plim(s) total\n"},
        {"device 16d0:0f3b name=a\ndevice 16d0:0f3b name=b\n", 2, "plim[2] not available; 2 plim(s) total\n"},
        {"device 16d0:0f3b name=a\ndevice 1234:0f3b name=x\ndevice 16d0:0f3b name=b\n", 1, "b"},
        {"device 16d0:0f3b name=u\ndescriptor unreadable\ndevice 16d0:0f3b name=a\n", 1,
         "plim[1] not available; 1 plim(s) total\n"},
        {"device 16d0:0f3b\nfail open access\n", 0, "Access denied (insufficient permissions)"},
        {"fail list nomem\ndevice 16d0:0f3b\n", 0, "Insufficient memory"},
    };
    for (auto [bus, index, result] : cases) {
        SCOPED_TRACE(bus);
        load(bus);
        TestController c;
        c.config.deviceIndex = index;
        if (c.findDevice(0x16d0, 0x0f3b)) {
            ASSERT_TRUE(c.ping());
            EXPECT_EQ(recorded(std::string("control dev=") + result + " ").size(), 1u);
        } else {
            EXPECT_EQ(err::getLastErrorDescription(), result);
        }
        c.waitAndClose();
    }
}

TEST_F(UsbController, DeliversReadsInOrderWholeAndSkipsEmptyOnes) {
    // {endpoint, block size, data delivered, messages, completions; as the event thread saw them
    // (first byte, reads handed on), when checked}
    const std::tuple<const char*, uint64_t, Bytes, size_t, size_t, std::vector<std::pair<int, size_t>>> cases[] = {
        // Read 2 comes back first and has to wait; read 1 then takes both along.
        {"bytes 01020304\nchunk 2\norder 2 1", 16, {1, 2, 3, 4}, 2, 2, {{3, 0}, {1, 2}}},
        {"bytes 0a0b\nstatus 1 timeout", 16, {0x0a, 0x0b}, 1, 1, {}},
        {"bytes 0a0b\nstatus 1 cancelled", 16, {0x0a, 0x0b}, 1, 1, {}},
        {"bytes 01\nthen zlp", 16, {1}, 1, 20, {}},
        {"pattern counter 100000", 100000, counting(100000), 2, 1, {}},  // a message holds at most 65535 bytes
    };
    for (const auto& [source, blockSize, data, count, completions, handedOn] : cases) {
        SCOPED_TRACE(source);
        load(kDevice + source + "\n");
        TestController c(2, blockSize);
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(c.waitFor(0, completions));
        if (!handedOn.empty()) {
            EXPECT_EQ(c.completions(), handedOn);
        }
        ASSERT_TRUE(c.out.waitForOutput(4 * count + data.size()));
        c.finish();
        auto messages = parseMessages(c.out.output());
        EXPECT_EQ(messages.size(), count);
        EXPECT_EQ(joinedPayloads(messages, 0x02), data);
    }
}

TEST_F(UsbController, AFailureSendsOneErrorEndsTheCommandInputAndFailsTheRun) {
    const Guid usb = err::kUsbDomain, win = err::kWinDomain;
    struct {
        const char* endpoint;
        Bytes error;
        Bytes data;  // at most: reads that completed before the failure may not have been processed
        bool commands = true;
        bool whole = false;  // a failed submission: every read that came back with data is handed on
    } cases[] = {
        {"bytes 0a\nstatus 1 error", errorRecordOf(usb, LIBUSB_TRANSFER_ERROR), {}},
        {"bytes 0a0b\nchunk 1\nstatus 2 stall", errorRecordOf(usb, LIBUSB_TRANSFER_STALL), {0x0a}},
        {"bytes 0a\nstatus 1 7", errorRecordOf(usb, 7), {}},
        // Without command input only the failure itself can end the session.
        {"bytes 0a\nstatus 1 nodevice", errorRecordOf(usb, LIBUSB_TRANSFER_NO_DEVICE), {}, false},
        {"bytes 0a0b\nchunk 1\nfail alloc 3", errorRecordOf(win, err::kWinNoSystemResources), {0x0a, 0x0b}, true, true},
        {"bytes 0a0b\nchunk 1\nfail submit 3 io", errorRecordOf(usb, LIBUSB_ERROR_IO), {0x0a, 0x0b}, true, true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.endpoint);
        load(kDevice + k.endpoint + "\n");
        TestController c;
        EXPECT_EQ(runUntilFailure(c, c.out, k.commands), std::make_pair(false, k.error));
        auto messages = parseMessages(c.out.output());
        EXPECT_EQ(joinedPayloads(messages, kMsgError), k.error);  // one error message
        Bytes data = joinedPayloads(messages, 0x02);
        EXPECT_EQ(data, Bytes(k.data.begin(), k.data.begin() + ptrdiff_t(std::min(data.size(), k.data.size()))));
        if (k.whole) {  // one byte a read here: the bytes of the reads that completed, in order
            Bytes completed;
            for (auto [first, moved] : c.completions())
                if (first >= 0) completed.push_back(uint8_t(first));
            EXPECT_EQ(data, completed);
        }
    }
}

TEST_F(UsbController, AnUnpluggedDeviceGivesExactlyOneErrorMessageWithTheFirstCause) {
    // Both threads fail at once: the process thread on the reads' status, the
    // read thread on the resubmission. Timing decides who is first; only that one speaks.
    const std::vector<Bytes> causes = {errorRecordOf(err::kUsbDomain, LIBUSB_TRANSFER_NO_DEVICE),
                                       errorRecordOf(err::kUsbDomain, LIBUSB_ERROR_NO_DEVICE)};
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        load(kDevice + "pattern counter *\nchunk 4\ndisconnect after 3 transfers\n");
        TestController c(4, 16);
        auto [ok, failure] = runUntilFailure(c, c.out);
        EXPECT_FALSE(ok);
        EXPECT_EQ(joinedPayloads(parseMessages(c.out.output()), kMsgError), failure);  // one error message
        EXPECT_NE(std::find(causes.begin(), causes.end(), failure), causes.end());
    }
}

TEST_F(UsbController, AThreadThatCannotStartIsTheSameRecordAsEverywhere) {
    load(kDevice);
    TestController c;
    sys::failNextThreadStarts(1);
    EXPECT_FALSE(c.run(&c.out, nullptr));
    EXPECT_EQ(lastErrorRecord(), errorRecordOf(err::kWinDomain, err::kWinNoSystemResources));
    EXPECT_EQ(c.stateFlags.load(), ControllerBase::kClosed);
}

TEST_F(UsbController, StopCancelsTheReadsInFlightAndWaitsForThem) {
    for (uint64_t parallelism : {4u, 0u}) {  // 0: no read at all
        load(kDevice);                          // a silent endpoint
        TestController c(parallelism, 64);
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(c.waitFor(1));
        EXPECT_EQ(qwsim::counters().liveTransfers, parallelism);
        c.finish();
        EXPECT_EQ(c.completions().size(), parallelism);
        EXPECT_EQ(c.completedList.count(), 0u);
        EXPECT_EQ(c.freeList.count(), parallelism);
        EXPECT_EQ(qwsim::counters().allocations, parallelism);
        EXPECT_EQ(c.stateFlags.load(), ControllerBase::kClosed);
    }
}

TEST_F(UsbController, RestartsOnTheBlocksItHasWhileTheyAreLargeEnough) {
    load(kDevice + "bytes 0102\nchunk 1\n");
    TestController c(2, 16);
    ASSERT_TRUE(c.start());
    EXPECT_TRUE(c.startAgain());  // a second start leaves the running threads alone
    ASSERT_TRUE(c.out.waitForOutput(2 * 5));
    c.finish();
    // The new read blocks a restart took; it always submits two reads.
    auto restart = [&](uint64_t blockSize) {
        uint64_t blocks = UsbReadBlock::allocations();
        size_t transfers = qwsim::counters().allocations;
        c.config.readBlockSize = blockSize;
        EXPECT_TRUE(c.start());
        EXPECT_TRUE(c.waitFor(1));
        c.finish();
        EXPECT_EQ(qwsim::counters().allocations, transfers + 2);
        return UsbReadBlock::allocations() - blocks;
    };
    EXPECT_EQ(restart(16), 0u);
    EXPECT_EQ(restart(1024), 2u);  // the free blocks hold 16 bytes
}

TEST_F(UsbController, DrainEndsOnAnEmptyReadOrAQuietEndpoint) {
    const std::tuple<const char*, bool, int> cases[] = {  // endpoint, result, error (0: none)
        {"bytes 0102\nthen zlp", true, 0},
        {"pattern counter 100000", true, LIBUSB_ERROR_TIMEOUT},
        {"bytes 01\nthen stall", false, LIBUSB_ERROR_PIPE},
    };
    for (auto [source, result, error] : cases) {
        SCOPED_TRACE(source);
        load("speed 50\n" + kDevice + source + "\n");  // the 500 ms wait lasts 10 ms
        TestController c;
        ASSERT_TRUE(c.findDevice(0x16d0, 0x0f3b));
        err::setError(err::noError());
        Bytes none = lastErrorRecord();
        EXPECT_EQ(c.drainEndpoint(0x81), result);
        EXPECT_EQ(lastErrorRecord(), error ? errorRecordOf(err::kUsbDomain, error) : none);
        c.waitAndClose();
    }
}
