// UsbControllerBase on simulated devices: the read pipeline, its failures, stop,
// restart, finding the device and draining an endpoint.
#include <cstring>
#include <future>

#include "UsbTestSupport.h"
#include "usb/Libusb.h"

using namespace vek;

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kDevice = "device 16d0:0f3b\nendpoint 0x81\n";

Settings settingsWith(uint64_t parallelism, uint64_t blockSize) {
    Settings s;
    s.readParallelism = parallelism;
    s.readBlockSize = blockSize;
    return s;
}

Bytes counter(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

// The data messages' payloads joined, and the error records, of a message stream.
struct Stream {
    Bytes data;
    size_t dataMessages = 0;
    std::vector<Bytes> errors;
    size_t others = 0;
};

Stream split(const MemoryTransport& t) {
    Stream s;
    for (const HostMessage& m : parseMessages(t.output())) {
        if (m.code == kDataMessage) {
            s.data.insert(s.data.end(), m.payload.begin(), m.payload.end());
            ++s.dataMessages;
        } else if (m.code == kMsgError) {
            s.errors.push_back(m.payload);
        } else {
            ++s.others;
        }
    }
    return s;
}

bool isPrefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

Bytes record(const Guid& domain, uint32_t code) {
    err::Error e = err::Error::fromCode(domain, code);
    return Bytes(e.ref().data(), e.ref().data() + e.ref().size());
}

}  // namespace

class UsbController : public UsbSimTest {};

TEST_F(UsbController, HandsReadsOnInSubmissionOrderWhenTheyCompleteOutOfOrder) {
    load(kDevice + "bytes 01020304\nchunk 2\norder 2 1\n");
    Settings s = settingsWith(2, 16);
    MemoryTransport out;
    TestController c(&s);
    ASSERT_TRUE(c.start(&out, nullptr));
    ASSERT_TRUE(out.waitForOutput(2 * (4 + 2)));
    ASSERT_TRUE(c.waitForCompletions(2));
    std::vector<TestController::Completion> seen = c.completions();
    // Read 2 came back first and had to wait; read 1 then took both along.
    EXPECT_EQ(seen[0].firstByte, 3);
    EXPECT_EQ(seen[0].moved, 0u);
    EXPECT_EQ(seen[1].firstByte, 1);
    EXPECT_EQ(seen[1].moved, 2u);
    c.stop();
    c.waitAndClose();
    auto messages = parseMessages(out.output());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].payload, (Bytes{1, 2}));
    EXPECT_EQ(messages[1].payload, (Bytes{3, 4}));
}

TEST_F(UsbController, ReadStatusDecidesBetweenDataAndOneErrorMessage) {
    struct Case {
        const char* status;
        int code;  // 0: the bytes count as data
    } cases[] = {{"completed", 0}, {"timeout", 0}, {"cancelled", 0}, {"error", 1},
                 {"stall", 4},     {"nodevice", 5}, {"overflow", 6}, {"7", 7}};
    for (const Case& k : cases) {
        load(kDevice + "bytes 0a0b\nstatus 1 " + k.status + "\n");
        Settings s = settingsWith(2, 16);
        MemoryTransport out;
        CommandProbe command;
        TestController c(&s);
        c.setCommandTransport(&command);
        ASSERT_TRUE(c.start(&out, &command));
        ASSERT_TRUE(out.waitForOutput(k.code ? 4 + 24 : 4 + 2)) << k.status;
        if (k.code)
            EXPECT_TRUE(command.waitClosed()) << k.status;
        else
            EXPECT_FALSE(command.closed()) << k.status;
        c.stop();
        c.waitAndClose();
        Stream got = split(out);
        if (k.code) {
            EXPECT_EQ(got.errors, std::vector<Bytes>{record(err::kUsbDomain, static_cast<uint32_t>(k.code))}) << k.status;
            EXPECT_EQ(got.dataMessages, 0u) << k.status;
        } else {
            EXPECT_TRUE(got.errors.empty()) << k.status;
            EXPECT_EQ(got.data, (Bytes{0x0a, 0x0b})) << k.status;
        }
        events.stop();
        context.exit();
    }
}

TEST_F(UsbController, FailingReadSendsOneErrorAndEndsTheSession) {
    load(kDevice + "bytes 0a0b\nchunk 1\nstatus 2 stall\n");
    Settings s = settingsWith(2, 16);
    MemoryTransport out, command;  // no commands: only the failure ends the loop
    TestController c(&s);
    // The session fails with the read's error, the one the host got too.
    EXPECT_FALSE(c.run(&out, &command));
    EXPECT_EQ(err::getLastError().code(), static_cast<uint32_t>(LIBUSB_TRANSFER_STALL));
    EXPECT_TRUE(command.closed());
    auto messages = parseMessages(out.output());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].code, kDataMessage);
    EXPECT_EQ(messages[0].payload, Bytes{0x0a});
    EXPECT_EQ(messages[1].code, kMsgError);
    EXPECT_EQ(messages[1].payload, record(err::kUsbDomain, LIBUSB_TRANSFER_STALL));
    EXPECT_EQ(c.flags(), ControllerBase::kClosed);
}

TEST_F(UsbController, FailureEndsACaptureThatHasNoCommandInput) {
    // Output only: nothing but the failure itself can end this session.
    load(kDevice + "bytes 0a\nstatus 1 nodevice\n");
    Settings s = settingsWith(2, 16);
    MemoryTransport out;
    TestController c(&s);
    auto session = std::async(std::launch::async, [&] { return c.run(&out, nullptr); });
    if (session.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the capture did not end after its read failed";
        c.stop();
    }
    EXPECT_FALSE(session.get());
    Stream got = split(out);
    EXPECT_EQ(got.errors, std::vector<Bytes>{record(err::kUsbDomain, LIBUSB_TRANSFER_NO_DEVICE)});
}

TEST_F(UsbController, FailingSubmissionSendsOneErrorAndEndsTheSession) {
    struct Case {
        const char* busFault;
        const char* endpointFault;
        Guid domain;
        uint32_t code;
    } cases[] = {
        {"fail alloc 3\n", "", err::kWinDomain, err::kWinNoSystemResources},
        {"", "fail submit 3 io\n", err::kUsbDomain, static_cast<uint32_t>(LIBUSB_ERROR_IO)},
    };
    for (const Case& k : cases) {
        load(k.busFault + kDevice + "bytes 0a0b\nchunk 1\n" + k.endpointFault);
        Settings s = settingsWith(2, 16);
        MemoryTransport out, command;
        TestController c(&s);
        EXPECT_FALSE(c.run(&out, &command));
        EXPECT_EQ(err::getLastError().code(), k.code);
        EXPECT_TRUE(command.closed());
        Stream got = split(out);
        EXPECT_EQ(got.errors, std::vector<Bytes>{record(k.domain, k.code)}) << k.busFault << k.endpointFault;
        // Reads that completed before the failure may or may not have been processed.
        EXPECT_TRUE(isPrefix(got.data, {0x0a, 0x0b}));
        events.stop();
        context.exit();
    }
}

TEST_F(UsbController, SkipsEmptyReads) {
    load(kDevice + "bytes 01\nthen zlp\n");
    Settings s = settingsWith(2, 16);
    MemoryTransport out;
    TestController c(&s);
    ASSERT_TRUE(c.start(&out, nullptr));
    // The byte is processed, and many empty reads after it.
    ASSERT_TRUE(out.waitForOutput(5));
    ASSERT_TRUE(c.waitForCompletions(20));
    c.stop();
    c.waitAndClose();
    auto messages = parseMessages(out.output());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].payload, Bytes{1});
}

TEST_F(UsbController, ParallelismZeroReadsNothing) {
    load(kDevice + "bytes 01\n");
    Settings s = settingsWith(0, 16);
    MemoryTransport out;
    TestController c(&s);
    uint64_t blocks = UsbReadBlock::allocations();
    ASSERT_TRUE(c.start(&out, nullptr));
    ASSERT_TRUE(c.waitForPasses(1));
    c.stop();
    c.waitAndClose();
    EXPECT_EQ(qwsim::counters().allocations, 0u);
    EXPECT_EQ(UsbReadBlock::allocations(), blocks);
    EXPECT_TRUE(out.output().empty());
}

TEST_F(UsbController, FindsTheNthDeviceOfItsModel) {
    struct Case {
        const char* bus;
        uint64_t index;
        const char* opens;  // the device name, or null when not found
        const char* error;
    } cases[] = {
        {"", 0, nullptr, "plim[0] not available; 0 plim(s) total\n"},
        {"device 16d0:0f3b name=a\ndevice 16d0:0f3b name=b\n", 2, nullptr, "plim[2] not available; 2 plim(s) total\n"},
        {"device 16d0:0f3b name=a\ndevice 1234:0f3b name=x\ndevice 16d0:0f3b name=b\n", 1, "b", nullptr},
        {"device 16d0:0f3b name=u\ndescriptor unreadable\ndevice 16d0:0f3b name=a\n", 1, nullptr,
         "plim[1] not available; 1 plim(s) total\n"},
        {"device 16d0:0f3b name=u\ndescriptor unreadable\ndevice 16d0:0f3b name=a\n", 0, "a", nullptr},
    };
    for (const Case& k : cases) {
        load(k.bus);
        Settings s;
        s.deviceIndex = k.index;
        TestController c(&s);
        bool found = c.findDevice(kTestVid, kTestPid);
        ASSERT_EQ(found, k.opens != nullptr) << k.bus << k.index;
        if (found) {
            ASSERT_TRUE(c.ping());
            EXPECT_EQ(recorded("control dev=").at(0).substr(0, 13 + std::strlen(k.opens)),
                      std::string("control dev=") + k.opens + " ");
        } else {
            EXPECT_EQ(err::getLastErrorDescription(), k.error);
        }
        c.waitAndClose();
        events.stop();
        context.exit();
    }
}

TEST_F(UsbController, NoDeviceListIsAUsbError) {
    load("fail list nomem\n" + kDevice);
    Settings s;
    TestController c(&s);
    EXPECT_FALSE(c.findDevice(kTestVid, kTestPid));
    EXPECT_EQ(err::getLastError().guid(), err::kUsbDomain);
    EXPECT_EQ(err::getLastError().code(), static_cast<uint32_t>(LIBUSB_ERROR_NO_MEM));
}

TEST_F(UsbController, StopCancelsReadsInFlightAndWaitsForThem) {
    load(kDevice);  // a silent endpoint
    Settings s = settingsWith(4, 64);
    MemoryTransport out;
    TestController c(&s);
    ASSERT_TRUE(c.start(&out, nullptr));
    ASSERT_TRUE(c.waitForPasses(1));
    EXPECT_EQ(c.inFlightCount(), 4u);
    c.stop();
    c.waitAndClose();
    EXPECT_EQ(c.completions().size(), 4u);
    EXPECT_EQ(c.inFlightCount(), 0u);
    EXPECT_EQ(c.completedCount(), 0u);
    EXPECT_EQ(c.freeCount(), 4u);
    EXPECT_EQ(c.flags(), ControllerBase::kClosed);
    EXPECT_TRUE(out.output().empty());
}

TEST_F(UsbController, RestartsAfterWaitAndCloseOnTheBlocksItHas) {
    load(kDevice + "bytes 0102\nchunk 1\n");
    Settings s = settingsWith(2, 32);
    MemoryTransport out;
    TestController c(&s);
    ASSERT_TRUE(c.start(&out, nullptr));
    ASSERT_TRUE(out.waitForOutput(2 * 5));
    c.stop();
    c.waitAndClose();
    uint64_t blocks = UsbReadBlock::allocations();
    size_t transfers = qwsim::counters().allocations;

    size_t passes = c.passes();
    ASSERT_TRUE(c.start(&out, nullptr));
    ASSERT_TRUE(c.waitForPasses(passes + 1));
    c.stop();
    c.waitAndClose();
    EXPECT_EQ(UsbReadBlock::allocations(), blocks);
    EXPECT_EQ(qwsim::counters().allocations, transfers + 2);  // the reads did go out
    EXPECT_EQ(split(out).data, (Bytes{1, 2}));
}

TEST_F(UsbController, ReadBuffersAreNeverSmallerThanTheRead) {
    load(kDevice + "pattern counter *\nrate 1M\n");
    Settings s = settingsWith(2, 16);
    MemoryTransport out;
    TestController c(&s, 16);
    ASSERT_TRUE(c.start(&out, nullptr));
    ASSERT_TRUE(out.waitForOutput(4 + 16));
    c.stop();
    c.waitAndClose();
    uint64_t blocks = UsbReadBlock::allocations();

    // The free blocks hold 16 bytes: too small for reads of 1024.
    c.setLength(1024);
    MemoryTransport big;
    ASSERT_TRUE(c.start(&big, nullptr));
    ASSERT_TRUE(big.waitForOutput(4 + 1024));
    c.stop();
    c.waitAndClose();
    EXPECT_GE(UsbReadBlock::allocations(), blocks + 2);
    auto messages = parseMessages(big.output());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].payload.size(), 1024u);
}

TEST_F(UsbController, ReadsOverSixtyFourKilobytesArriveWhole) {
    load(kDevice + "pattern counter 100000\n");
    Settings s = settingsWith(1, 100000);
    MemoryTransport out;
    TestController c(&s);
    ASSERT_TRUE(c.start(&out, nullptr));
    ASSERT_TRUE(out.waitForOutput(100000 + 2 * 4));
    c.stop();
    c.waitAndClose();
    Stream got = split(out);
    EXPECT_EQ(got.dataMessages, 2u);
    EXPECT_EQ(got.data, counter(100000));
}

TEST_F(UsbController, SecondStartWhileRunningLeavesTheThreadsAlone) {
    load(kDevice + "pattern counter *\nrate 1M\n");
    Settings s = settingsWith(4, 512);
    MemoryTransport out;
    TestController c(&s);
    ASSERT_TRUE(c.start(&out, nullptr));
    ASSERT_TRUE(c.waitForPasses(1));
    EXPECT_TRUE(c.startAgain());
    ASSERT_TRUE(out.waitForOutput(4 * 1024));
    c.stop();
    c.waitAndClose();
    Stream got = split(out);
    EXPECT_EQ(got.data, counter(got.data.size()));  // one stream, in order, nothing twice
}

TEST_F(UsbController, ReusesBlocksInsteadOfAllocatingPerRead) {
    // A device no faster than the process thread, as real ones are: then the
    // blocks in circulation stay few and every read reuses one.
    load(kDevice + "pattern counter *\nchunk 64\nrate 64K\n");
    Settings s = settingsWith(4, 64);
    MemoryTransport out;
    TestController c(&s);
    uint64_t before = UsbReadBlock::allocations();
    ASSERT_TRUE(c.start(&out, nullptr));
    ASSERT_TRUE(c.waitForCompletions(1000));
    c.stop();
    c.waitAndClose();
    EXPECT_LT(UsbReadBlock::allocations() - before, 100u);
    Stream got = split(out);
    EXPECT_EQ(got.data, counter(got.data.size()));
}

TEST_F(UsbController, DrainEndsOnAnEmptyReadOrAQuietEndpoint) {
    struct Case {
        const char* source;
        bool result;
        int lastError;  // 0: none expected
    } cases[] = {
        {"bytes 0102\nthen zlp", true, 0},
        {"pattern counter 100000", true, LIBUSB_ERROR_TIMEOUT},
        {"bytes 01\nthen stall", false, LIBUSB_ERROR_PIPE},
    };
    for (const Case& k : cases) {
        load("speed 50\n" + kDevice + k.source + "\n");  // the 500 ms wait lasts 10 ms
        Settings s;
        TestController c(&s);
        ASSERT_TRUE(c.findDevice(kTestVid, kTestPid));
        err::setError(err::noError());
        EXPECT_EQ(c.drainEndpoint(kDataEndpoint), k.result) << k.source;
        if (k.lastError) {
            EXPECT_EQ(err::getLastError().guid(), err::kUsbDomain) << k.source;
            EXPECT_EQ(err::getLastError().code(), static_cast<uint32_t>(k.lastError)) << k.source;
        }
        c.waitAndClose();
        events.stop();
        context.exit();
    }
}
