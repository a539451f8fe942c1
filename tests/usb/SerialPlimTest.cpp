// SerialPlimController on the simulated Serial Plim: what a start sends to the
// device and the host, notifications, both lines' data, command 6 and restart,
// and the ways a start fails. A failing capture: UsbTest.cpp and the end-to-end
// Serial Plim capture.
#include <cstring>

#include "support/UsbSimTest.h"
#include "usb/SerialPlimController.h"

using namespace vek;

namespace {

using Lines = std::vector<std::string>;
using Values = std::vector<std::pair<int, uint32_t>>;

const std::string kPlim = "device 16d0:0e26 model=serialplim name=plim\n";
const std::string kDefaultBlock = "00960000000801000000000000000000";

// The control requests the device saw: "REQ VALUE" and, for 0xC1, the block.
Lines requests() {
    Lines out;
    auto field = [](const std::string& l, const char* key) {
        size_t at = l.find(key) + std::strlen(key);
        return l.substr(at, l.find(' ', at) - at);
    };
    for (const std::string& l : recorded("control")) {
        std::string req = field(l, "req=");
        out.push_back(req + " " + field(l, "value=") + (req == "0xc1" ? " " + field(l, "data=") : ""));
    }
    return out;
}
Lines programmed(const std::string& block) { return {"0xc1 0x0000 " + block, "0xc1 0x8000 " + block}; }

// The messages of these codes, as (code, u32 payload).
Values values(const MemoryTransport& t, std::initializer_list<int> codes) {
    Values out;
    for (const HostMessage& m : parseMessages(t.output()))
        if (std::find(codes.begin(), codes.end(), m.code) != codes.end() && m.payload.size() == 4)
            out.emplace_back(m.code, m.payload[0] | m.payload[1] << 8 | m.payload[2] << 16 | uint32_t(m.payload[3]) << 24);
    return out;
}

struct Plim {
    explicit Plim(uint64_t blockSize = 8192, uint64_t parallelism = 8) {
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

TEST_F(SerialPlim, StartProgramsBothLinesThenReportsTheCarriersTheInputsShow) {
    // {settings, the inputs' scenario, the block both lines get, the carriers of line 0 and 1}
    const std::tuple<SerialConfig, const char*, std::string, uint32_t, uint32_t> cases[] = {
        {{}, "", kDefaultBlock, 0, 0},
        {{115200, 7, kStopBitsOneHalf, kParityEven, 1}, "input 2 low\ninput 4 low\ninput 14 low\ninput 13 low\n",
         "00c20100000702000200000000000000", 3, 3},
        {{300, 5, kStopBitsTwo, kParitySpace, 0}, "input 2 low\ninput 13 low\n", "2c010000000502000400000000000000", 2, 1},
        {{}, "input 4 low\ninput 14 0x0100\n", kDefaultBlock, 1, 0},  // active only when both bytes are 0
        // An input that cannot be read counts as inactive; the start goes on.
        {{}, "input 2 low\ninput 4 low\nfail control 0xc0 0xda pipe nth=1\n", kDefaultBlock, 1, 0},
    };
    for (const auto& [config, inputs, block, line0, line1] : cases) {
        SCOPED_TRACE(inputs);
        load(kPlim + inputs);
        Plim p;
        p.config.serialConfig = config;
        ASSERT_TRUE(p.start());
        p.finish();
        Lines expected = programmed(block);
        for (const char* input : {"0x0002", "0x0004", "0x000e", "0x000d"}) expected.push_back(std::string("0xda ") + input);
        EXPECT_EQ(requests(), expected);
        EXPECT_EQ(values(p.out, {4, 5}), (Values{{4, line0}, {5, line1}}));
    }
    // Its *.qwlog records are of the serial class, as a serial port's are.
    constexpr Guid kSerialClass{0x29725452, 0xE64F, 0x4C0E, {0xA8, 0x71, 0x77, 0x62, 0x77, 0xB6, 0x85, 0x72}};
    Plim p;
    EXPECT_EQ(std::vector<Guid>(p.c.getLogGuids().begin(), p.c.getLogGuids().end()), std::vector<Guid>{kSerialClass});
}

// Finding the device: UsbTest.cpp.
TEST_F(SerialPlim, StartFailsWithNothingSent) {
    const std::tuple<const char*, const char*, size_t> cases[] = {  // fault, error, requests that reached the device
        {"fail claim busy\n", "Resource busy", 0},
        {"fail control 0x40 0xc1 pipe nth=1\n", "Pipe error", 1},  // line 1 is left alone
    };
    for (auto [fault, error, count] : cases) {
        SCOPED_TRACE(error);
        load(kPlim + fault);
        Plim p;
        EXPECT_FALSE(p.c.run(&p.out, nullptr));
        EXPECT_EQ(err::getLastErrorDescription(), error);
        EXPECT_EQ(requests().size(), count);
        EXPECT_TRUE(p.out.output().empty());
    }
}

TEST_F(SerialPlim, NotificationsBecomeStatusAndLineErrors) {
    const std::tuple<const char*, const char*, Values> cases[] = {  // endpoint, notification, messages
        {"0x83", "0x34", {{4, 0x34}, {0x21, 7}}}, {"0x83", "0x03", {{4, 0x03}}},
        {"0x86", "0x10", {{5, 0x10}, {0x21, 1}}}, {"0x86", "0x24", {{5, 0x24}, {0x21, 6}}},
        {"0x83", "0xff34 length=0xff03 size=64", {{4, 0x34}, {0x21, 7}}},  // only the low byte, only bit 1
        {"0x83", "0x34 size=9", {}}, {"0x86", "0x34 length=0", {}}, {"0x83", "0x34 length=0xfd", {}},
        {"0x83", "0x34 size=0", {}},
    };
    for (const auto& [endpoint, notification, messages] : cases) {
        SCOPED_TRACE(notification);
        // The last notification tells when the case's own was handled. Blocks of
        // 16 bytes: the status reads still get the 1024 bytes they ask for.
        load(kPlim + "endpoint " + endpoint + "\nserial-state " + notification + "\nserial-state 0x08\n");
        Plim p(16);
        int code = std::string(endpoint) == "0x83" ? 4 : 5;
        ASSERT_TRUE(p.start());
        ASSERT_TRUE(waitUntil([&] { return values(p.out, {code}).back().second == 0x08; }));
        p.finish();
        Values expected = {{4, 0}, {5, 0}};
        expected.insert(expected.end(), messages.begin(), messages.end());
        expected.emplace_back(code, 0x08);
        EXPECT_EQ(values(p.out, {4, 5, 0x21}), expected);
    }
}

TEST_F(SerialPlim, BothLinesArriveWholeAndInOrderWhenReadsCompleteOutOfOrder) {
    // Whole windows of the reordering: 144 and 150 reads.
    load(kPlim + "endpoint 0x82\npattern counter 100800\nchunk 700\norder 3 1 2\n"
                 "endpoint 0x85\npattern random 49950 seed=7\nchunk 333\norder 2 1\n");
    Bytes line0(100800), line1(49950);
    for (size_t i = 0; i < line0.size(); ++i) line0[i] = uint8_t(i);
    uint32_t r = 7;
    for (uint8_t& b : line1) r ^= r << 13, r ^= r >> 17, r ^= r << 5, b = uint8_t(r);
    Plim p(1024, 4);
    ASSERT_TRUE(p.start());
    auto line = [&](int code) { return joinedPayloads(parseMessages(p.out.output()), code); };
    EXPECT_TRUE(waitUntil([&] { return line(2).size() + line(3).size() >= 150750; }));
    p.finish();
    EXPECT_EQ(line(2), line0);
    EXPECT_EQ(line(3), line1);
}

TEST_F(SerialPlim, Command6ReprogramsBothLinesUntilTheNextStart) {
    const Bytes settings = {0x80, 0x25, 0, 0, 7, kStopBitsOne, kParityMark, 0};
    const Lines changed = programmed("80250000000701000300000000000000");
    const std::tuple<const char*, Bytes, Bytes, Lines> cases[] = {  // fault, command, error (none: succeeds), requests
        {"", frame(6, settings), {}, changed},
        {"", frame(6, cat({settings, {0xEE}})), {}, changed},
        {"", frame(6, Bytes(settings.begin(), settings.end() - 1)), errorRecordOf(err::kWinDomain, 122), {}},
        {"", frame(0x27, settings), errorRecordOf(err::kWinDomain, 87), {}},  // the serial port's command
        // The start made the first two requests; line 1 fails.
        {"fail control 0x40 0xc1 pipe nth=4\n", frame(6, settings), errorRecordOf(err::kUsbDomain, LIBUSB_ERROR_PIPE),
         changed},
    };
    for (const auto& [fault, command, error, sent] : cases) {
        SCOPED_TRACE(testing::PrintToString(command));
        load(kPlim + fault);
        Plim p;
        ASSERT_TRUE(p.start());
        qwsim::clearRecordedLines();
        EXPECT_EQ(p.c.processCommand(command.data()), error.empty());
        EXPECT_EQ(error.empty() ? Bytes{} : lastErrorRecord(), error);
        p.finish();
        EXPECT_EQ(requests(), sent);
        // A restart programs from the command line again and reports the status again.
        qwsim::clearRecordedLines();
        ASSERT_TRUE(p.start());
        p.finish();
        Lines again = requests();
        again.resize(2);
        EXPECT_EQ(again, programmed(kDefaultBlock));
        EXPECT_EQ(values(p.out, {4, 5}).size(), 4u);
    }
}
