// SerialPlimController on the simulated Serial Plim: what a start sends to the
// device and the host, notifications, both lines' data, command 6, restart and
// the ways a capture fails.
#include <chrono>
#include <functional>
#include <future>

#include "session/Message.h"
#include "support/MemoryTransport.h"
#include "support/UsbSimTest.h"
#include "usb/SerialPlimController.h"
#include "usb/UsbDevice.h"

using namespace vek;

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

const std::string kPlim = "device 16d0:0e26 model=serialplim name=plim\n";
const std::string kDefaultBlock = "00960000000801000000000000000000";

std::string setLine(const char* value, const std::string& block, int result = 16) {
    return std::string("control dev=plim type=0x40 req=0xc1 value=") + value +
           " index=0x0000 len=16 timeout=0 result=" + std::to_string(result) + " data=" + block;
}
std::string readInput(const char* value, const char* answer = "0100") {
    return std::string("control dev=plim type=0xc0 req=0xda value=") + value +
           " index=0x0000 len=2 timeout=0 result=2 data=" + answer;
}

// The messages of these codes, in order, as (code, u32 payload).
std::vector<std::pair<int, uint32_t>> values(const MemoryTransport& t, std::initializer_list<int> codes) {
    std::vector<std::pair<int, uint32_t>> out;
    for (const HostMessage& m : parseMessages(t.output()))
        if (std::find(codes.begin(), codes.end(), m.code) != codes.end() && m.payload.size() == 4)
            out.emplace_back(m.code, m.payload[0] | m.payload[1] << 8 | m.payload[2] << 16 | uint32_t(m.payload[3]) << 24);
    return out;
}
Bytes dataOf(const std::vector<HostMessage>& messages, uint8_t code) {
    Bytes all;
    for (const HostMessage& m : messages)
        if (m.code == code) all.insert(all.end(), m.payload.begin(), m.payload.end());
    return all;
}
Bytes record(const Guid& domain, int code) {
    err::Error e = err::Error::fromCode(domain, static_cast<uint32_t>(code));
    return Bytes(e.ref().data(), e.ref().data() + e.ref().size());
}
Bytes usbRecord(int code) { return record(err::kUsbDomain, code); }
Bytes lastError() { return Bytes(err::getLastError().data(), err::getLastError().data() + err::getLastError().size()); }

// Waits (at most 10 s) until the host has seen what `done` asks for.
bool waitFor(const MemoryTransport& t, const std::function<bool(const std::vector<HostMessage>&)>& done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done(parseMessages(t.output()))) {
        if (std::chrono::steady_clock::now() > end) return false;
        t.waitForOutput(t.output().size() + 1, 50);
    }
    return true;
}

struct Plim {
    Plim(uint64_t blockSize = 8192, uint64_t parallelism = 8) {
        config.readBlockSize = blockSize;
        config.readParallelism = parallelism;
    }
    bool start() { return c.start(&out, nullptr); }
    void finish() { c.stop(), c.waitAndClose(); }

    Settings config;
    MemoryTransport out;
    SerialPlimController c{&config};
};

}  // namespace

class SerialPlim : public UsbSimTest {};

TEST_F(SerialPlim, StartProgramsBothLinesWithTheCommandLineSettingsThenReadsTheInputs) {
    struct {
        SerialConfig config;
        std::string block;
    } cases[] = {
        {{}, kDefaultBlock},
        {{115200, 7, kStopBitsOneHalf, kParityEven, 1}, "00c20100000702000200000000000000"},
        {{300, 5, kStopBitsTwo, kParitySpace, 0}, "2c010000000502000400000000000000"},
    };
    for (const auto& k : cases) {
        load(kPlim);
        Plim p;
        p.config.serialConfig = k.config;
        ASSERT_TRUE(p.start());
        p.finish();
        EXPECT_EQ(recorded("control"), (Lines{setLine("0x0000", k.block), setLine("0x8000", k.block),
                                              readInput("0x0002"), readInput("0x0004"), readInput("0x000e"),
                                              readInput("0x000d")}));
    }
}

TEST_F(SerialPlim, StartReportsEachLinesCarriersFromItsInputs) {
    struct {
        const char* inputs;
        uint32_t line0, line1;
    } cases[] = {
        {"", 0, 0},
        {"input 2 low\ninput 4 low\ninput 14 low\ninput 13 low\n", 3, 3},
        {"input 2 low\n", 2, 0},
        {"input 4 low\n", 1, 0},
        {"input 14 low\n", 0, 2},
        {"input 13 low\n", 0, 1},
        {"input 4 0x0100\ninput 13 0x00ff\n", 0, 0},  // active only when both bytes are 0
        // An input that cannot be read counts as inactive; the start goes on.
        {"input 2 low\ninput 4 low\nfail control 0xc0 0xda pipe nth=1\n", 1, 0},
    };
    for (const auto& k : cases) {
        load(kPlim + k.inputs);
        Plim p;
        ASSERT_TRUE(p.start()) << k.inputs;
        p.finish();
        EXPECT_EQ(values(p.out, {4, 5}), (std::vector<std::pair<int, uint32_t>>{{4, k.line0}, {5, k.line1}}))
            << k.inputs;
    }
}

TEST_F(SerialPlim, StartFailsWithNothingSent) {
    struct {
        std::string bus;
        uint64_t index;
        std::string error;
        size_t controls;  // requests that reached the device
    } cases[] = {
        {kPlim, 1, "plim[1] not available; 1 plim(s) total\n", 0},
        {kPlim + "fail claim busy\n", 0, "Resource busy", 0},
        {kPlim + "fail control 0x40 0xc1 pipe nth=2\n", 0, "Pipe error", 2},
    };
    for (const auto& k : cases) {
        load(k.bus);
        Plim p;
        p.config.deviceIndex = k.index;
        EXPECT_FALSE(p.c.run(&p.out, nullptr));
        EXPECT_EQ(err::getLastErrorDescription(), k.error);
        EXPECT_EQ(recorded("control").size(), k.controls) << k.error;
        EXPECT_TRUE(p.out.output().empty()) << k.error;
    }
}

TEST_F(SerialPlim, NotificationsBecomeStatusAndLineErrors) {
    using Messages = std::vector<std::pair<int, uint32_t>>;
    struct {
        const char* endpoint;
        const char* notification;
        Messages messages;
    } cases[] = {
        {"0x83", "0x34", {{4, 0x34}, {0x21, 7}}},
        {"0x83", "0x03", {{4, 0x03}}},
        {"0x86", "0x10", {{5, 0x10}, {0x21, 1}}},
        {"0x86", "0x24", {{5, 0x24}, {0x21, 6}}},
        {"0x83", "0xff34 length=0xff03 size=64", {{4, 0x34}, {0x21, 7}}},  // only the low byte, only bit 1
        {"0x83", "0x34 size=9", {}},
        {"0x86", "0x34 length=0", {}},
        {"0x83", "0x34 length=0xfd", {}},
        {"0x83", "0x34 size=0", {}},
    };
    for (const auto& k : cases) {
        // The last notification tells when the case's own was handled. Blocks of
        // 16 bytes: the status reads still get the 1024 bytes they ask for.
        load(kPlim + "endpoint " + k.endpoint + "\nserial-state " + k.notification + "\nserial-state 0x08\n");
        Plim p(16);
        int code = std::string(k.endpoint) == "0x83" ? 4 : 5;
        ASSERT_TRUE(p.start());
        ASSERT_TRUE(waitFor(p.out, [&](auto&) { return values(p.out, {code}).back().second == 0x08; }));
        p.finish();
        Messages expected = {{4, 0}, {5, 0}};
        expected.insert(expected.end(), k.messages.begin(), k.messages.end());
        expected.emplace_back(code, 0x08);
        EXPECT_EQ(values(p.out, {4, 5, 0x21}), expected) << k.notification;
    }
}

TEST_F(SerialPlim, BothLinesArriveWholeAndInOrderWhenReadsCompleteOutOfOrder) {
    // Whole windows of the reordering: 144 and 150 reads.
    load(kPlim +
         "endpoint 0x82\npattern counter 100800\nchunk 700\norder 3 1 2\n"
         "endpoint 0x85\npattern random 49950 seed=7\nchunk 333\norder 2 1\n");
    Bytes line0(100800), line1(49950);
    for (size_t i = 0; i < line0.size(); ++i) line0[i] = uint8_t(i);
    uint32_t r = 7;
    for (uint8_t& b : line1) {
        r ^= r << 13, r ^= r >> 17, r ^= r << 5;
        b = uint8_t(r);
    }
    Plim p(1024, 4);
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(waitFor(p.out, [&](auto& m) {
        return dataOf(m, 2).size() >= line0.size() && dataOf(m, 3).size() >= line1.size();
    }));
    p.finish();
    auto messages = parseMessages(p.out.output());
    EXPECT_EQ(dataOf(messages, 2), line0);
    EXPECT_EQ(dataOf(messages, 3), line1);
}

TEST_F(SerialPlim, Command6ReprogramsBothLinesAndRefusesOtherCommands) {
    const std::string block = "80250000000701000300000000000000";  // 9600, 7 bits, one stop bit, mark
    const Bytes settings = {0x80, 0x25, 0, 0, 7, kStopBitsOne, kParityMark, 0};
    struct {
        Bytes command;
        uint32_t winError;  // 0: succeeds
        Lines controls;
    } cases[] = {
        {frame(6, settings), 0, {setLine("0x0000", block), setLine("0x8000", block)}},
        {frame(6, cat({settings, {0xEE}})), 0, {setLine("0x0000", block), setLine("0x8000", block)}},
        {frame(6, Bytes(settings.begin(), settings.end() - 1)), err::kWinInsufficientBuffer, {}},
        {frame(0x27, settings), err::kWinInvalidParameter, {}},
        {frame(2), err::kWinInvalidParameter, {}},
    };
    for (const auto& k : cases) {
        load(kPlim);
        Plim p;
        ASSERT_TRUE(p.start());
        qwsim::clearRecordedLines();
        bool ok = p.c.processCommand(k.command.data());
        Bytes error = lastError();
        p.finish();
        EXPECT_EQ(ok, k.winError == 0);
        if (k.winError) {
            EXPECT_EQ(error, record(err::kWinDomain, int(k.winError)));
        }
        EXPECT_EQ(recorded("control"), k.controls);
    }
}

TEST_F(SerialPlim, ACommandWhoseLine1RequestFailsLeavesTheUsbError) {
    load(kPlim + "fail control 0x40 0xc1 pipe nth=4\n");  // the start made the first two
    Plim p;
    ASSERT_TRUE(p.start());
    EXPECT_FALSE(p.c.processCommand(frame(6, {0x80, 0x25, 0, 0, 8, 0, 0, 0}).data()));
    EXPECT_EQ(lastError(), usbRecord(LIBUSB_ERROR_PIPE));
    p.finish();
}

TEST_F(SerialPlim, ARestartProgramsFromTheCommandLineAgain) {
    load(kPlim + "input 13 low\n");
    Plim p;
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.c.processCommand(frame(6, {0x80, 0x25, 0, 0, 8, 0, 0, 0}).data()));
    p.finish();
    qwsim::clearRecordedLines();
    ASSERT_TRUE(p.start());
    p.finish();
    auto controls = recorded("control");
    ASSERT_EQ(controls.size(), 6u);
    EXPECT_EQ(Lines(controls.begin(), controls.begin() + 2),
              (Lines{setLine("0x0000", kDefaultBlock), setLine("0x8000", kDefaultBlock)}));
    EXPECT_EQ(values(p.out, {4, 5}), (std::vector<std::pair<int, uint32_t>>{{4, 0}, {5, 1}, {4, 0}, {5, 1}}));
}

TEST_F(SerialPlim, ADisconnectMidCaptureEndsItWithOneError) {
    load(kPlim + "endpoint 0x82\npattern counter *\nchunk 512\nrate 64K\n"
                 "endpoint 0x86\nserial-state 0x01\ndisconnect after 16K bytes\n");
    Plim p(4096, 4);
    MemoryTransport command;  // ends only when the failure closes it
    Bytes failure;
    auto run = std::async(std::launch::async, [&] {
        bool ok = p.c.run(&p.out, &command);
        failure = lastError();
        return ok;
    });
    if (run.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the capture did not end";
        p.c.stop();
        command.close();
    }
    EXPECT_FALSE(run.get());
    // The read thread's resubmission or a read may see the disconnect first.
    EXPECT_TRUE(failure == usbRecord(LIBUSB_ERROR_NO_DEVICE) || failure == usbRecord(LIBUSB_TRANSFER_NO_DEVICE));
    // One error message, whichever thread met the disconnect first; the process
    // thread may still hand on data it had taken before.
    auto messages = parseMessages(p.out.output());
    std::vector<Bytes> errors;
    for (const HostMessage& m : messages)
        if (m.code == kMsgError) errors.push_back(m.payload);
    EXPECT_EQ(errors, std::vector<Bytes>{failure});
    Bytes data = dataOf(messages, 2);
    EXPECT_FALSE(data.empty());  // the capture ran before the device went
    for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], uint8_t(i)) << i;
}

// The simulated device itself, for scenario authors.
TEST_F(SerialPlim, ModelTakesItsStatementsOnlyWhereTheyBelong) {
    struct {
        const char* statements;
        const char* problem;  // empty: accepted
    } cases[] = {
        {"input 2 low\nendpoint 0x83\nserial-state 0x34 length=2 size=64\nendpoint 0x85\npattern counter 9\n", ""},
        {"serial-state 0x34\n", "line 2: 'serial-state' needs endpoint 0x83 or 0x86 before it"},
        {"endpoint 0x85\nserial-state 0x34\n", "line 3: 'serial-state' needs endpoint 0x83 or 0x86 before it"},
        {"endpoint 0x86\nserial-state 0x34 size=65\n",
         "line 3: expected 'serial-state BITMAP [length=L] [size=N]' with N up to 64"},
        {"endpoint 0x83\nbytes 01\n", "line 3: 'bytes' needs endpoint 0x82 or 0x85 before it"},
        {"input 2 0x10000\n", "line 2: expected 'input N low|high|VALUE'"},
        {"control 0xc0 0xda reply 0000\n", "line 2: unknown statement 'control'"},
        {"endpoint 0x01\n", "line 2: this model has no endpoint 0x01"},
    };
    for (const auto& k : cases) {
        std::string problem;
        qwsim::checkScenario(kPlim + k.statements, &problem);
        EXPECT_EQ(problem, k.problem) << k.statements;
    }
}

TEST_F(SerialPlim, ModelLineIsSilentUntilProgrammedAndRefusesOtherRequests) {
    load(kPlim + "endpoint 0x82\ntext \"ok\"\n");
    io::UsbDevice d;
    ASSERT_TRUE(d.openByVidPid(0x16d0, 0x0e26));
    uint8_t block[17] = {}, got[8];
    int n = -1;
    EXPECT_EQ(libusb_bulk_transfer(d.handle(), 0x82, got, sizeof got, &n, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(d.controlTransfer(0x40, 0xC1, 0x0001, 0, block, 16, 0), -1);  // no such line
    EXPECT_EQ(d.controlTransfer(0x40, 0xC1, 0x0000, 0, block, 17, 0), -1);  // not a parameter block
    EXPECT_EQ(d.controlTransfer(0x40, 0xC2, 0x0000, 0, block, 16, 0), -1);
    EXPECT_EQ(d.controlTransfer(0x40, 0xC1, 0x8000, 0, block, 16, 0), 16);  // the other line
    EXPECT_EQ(libusb_bulk_transfer(d.handle(), 0x82, got, sizeof got, &n, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(d.controlTransfer(0x40, 0xC1, 0x0000, 0, block, 16, 0), 16);
    EXPECT_EQ(libusb_bulk_transfer(d.handle(), 0x82, got, sizeof got, &n, 100), 0);
    EXPECT_EQ(Bytes(got, got + n), (Bytes{'o', 'k'}));
}
