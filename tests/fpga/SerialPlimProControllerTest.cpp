// The Serial Plim Pro controller on the simulator's fpga model: register
// programming, host commands, capture.
#include <chrono>

#include "fpga/SerialPlimProController.h"
#include "support/UsbSimTest.h"

using namespace vek;

namespace {

using Strings = std::vector<std::string>;
const std::string kDevice = "device 326f:0005 model=fpga\nregister 3 0x0081\nregister 15 0x0021\n";
const std::string kTooFast = "baud rates over 2.5 Mbps are not supported";

// Register writes as "N=VALUE" (hex), a failed one as "N!".
Strings registerWrites() {
    Strings out;
    for (const std::string& l : recorded("control dev=dev0 type=0x40 req=0x59 ")) {
        std::string n = std::to_string(std::stoul(l.substr(l.find("index=") + 6, 6), nullptr, 16));
        out.push_back(l.find(" result=2 ") == std::string::npos ? n + "!" : n + "=" + l.substr(l.rfind("data=") + 5));
    }
    return out;
}

// The writes of a capture start: stop, line settings, timer, clearing, control.
Strings startWrites(Strings line, const std::string& control) {
    line.insert(line.begin(), "4=0000");
    line.insert(line.end(), {"16=a601", "17=000e", "7=0000", "6=0000", "5=0000", control});
    return line;
}

// "ok", "none", "win<code>" for a Windows-domain error, else the error's text.
std::string outcome(const HostMessage& m) {
    if (m.code == kMsgDone) return "ok";
    if (m.code == 0xFF) return "none";
    err::ErrorRef e(m.payload.data(), m.payload.size());
    return e.guid() == err::kWinDomain ? "win" + std::to_string(e.code()) : err::getErrorDescription(e);
}

Bytes config(uint32_t baud, uint8_t data, uint8_t stop, uint8_t parity) {
    return {uint8_t(baud), uint8_t(baud >> 8), uint8_t(baud >> 16), uint8_t(baud >> 24), data, stop, parity, 0};
}

struct Session : ControllerSession {
    using ControllerSession::ControllerSession;
    std::string send(const Bytes& command) { return outcome(ControllerSession::send(command)); }
};

}  // namespace

using SerialPlimProTest = UsbSimTest;

TEST_F(SerialPlimProTest, BaudGeneratorAndFrameFormat) {
    const std::pair<uint32_t, Strings> cases[] = {
        {9600, {"10=0002", "11=0000", "12=026f", "13=0000"}}, {115200, {"10=0018", "11=0000", "12=0259", "13=0000"}},
        {921600, {"10=00c0", "11=0000", "12=01b1", "13=0000"}}, {2'500'000, {"10=0005", "11=0000", "12=0001", "13=0000"}},
        {2'500'001, {}}, {115200, {"10=0018", "11!"}},  // the second write fails
    };
    Settings s;
    s.flags = kFlagSuspend;
    for (const auto& [baud, writes] : cases) {
        load(kDevice + (writes.size() == 2 ? "fail control 0x40 0x59 pipe nth=2" : ""));
        SerialPlimProController c(&s);
        MemoryTransport out;
        ASSERT_TRUE(c.start(&out, nullptr));
        EXPECT_EQ(c.setBaudRate(baud), writes.size() == 4) << baud;
        EXPECT_EQ(writes.empty() ? err::getLastErrorDescription() : "", writes.empty() ? kTooFast : "");
        EXPECT_EQ(registerWrites(), writes) << baud;
        qwsim::clearRecordedLines();
        for (uint8_t stop = 0; stop <= kStopBitsTwo; ++stop)
            for (uint8_t parity = 0; parity <= kParitySpace; ++parity) {
                ASSERT_TRUE(c.setSerialConfig(SerialConfig{9600, 7, stop, parity, 1}));
                EXPECT_EQ(registerWrites().back(), "14=" + std::to_string(stop) + std::to_string(parity) + "07");
            }
        c.waitAndClose();
    }
}

TEST_F(SerialPlimProTest, CommandsAnswerAsTheHostExpectsAndTheirSettingsLast) {
    const std::pair<const char*, std::vector<std::pair<Bytes, std::string>>> cases[] = {  // device, commands, replies
        {"", {{frame(6, Bytes(7)), "win122"}, {frame(36), "win122"}, {frame(37), "win122"}, {frame(54), "win122"},
              {frame(55), "win122"}, {frame(0x27, {1}), "win87"}, {frame(0x38), "win87"},
              {frame(6, config(9600, 7, 2, 1)), "ok"},
              {frame(36, {0}), "ok"}, {frame(40, {'a', 'b'}), "ok"}, {frame(40), "ok"}, {frame(55, {0xFF}), "ok"},
              {frame(37, {2}), "ok"}, {frame(54, {1}), "ok"}, {frame(6, config(2'500'001, 8, 0, 0)), kTooFast}}},
        // Only the write's own result reaches the host for 55, 6 and 52-53; a transmit
        // the device refused is a failure.
        {"fail control 0x40 0x59 pipe\nendpoint 0x02\nstatus 1 stall",
         {{frame(36, {1}), "ok"}, {frame(37, {0}), "ok"}, {frame(40, {'a'}), "Pipe error"}, {frame(55, {4}), "Pipe error"},
          {frame(6, config(9600, 8, 0, 0)), "Pipe error"}, {frame(52), "Pipe error"}, {frame(53), "Pipe error"}}},
    };
    Settings s;
    s.flags = kFlagSuspend;
    for (const auto& [device, commands] : cases) {
        load(kDevice + device);
        SerialPlimProController c(&s);
        {
            Session session(c);
            for (const auto& [command, expected] : commands)
                EXPECT_EQ(session.send(command), expected) << int(command[1]);
            EXPECT_NE(session.send(frame(51)), "win87");  // no firmware file: the uploader's failure
            EXPECT_TRUE(session.end());
        }
        if (*device) continue;
        const Strings line = {"10=0002", "11=0000", "12=026f", "13=0000", "14=2107"};
        Strings expected = line;
        expected.insert(expected.end(), {"4=0011", "4=005d", "4=005d"});
        EXPECT_EQ(registerWrites(), expected);
        Strings sent = recorded("out dev=dev0 ep=0x02 ");
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_TRUE(sent[0].ends_with("timeout=1003 result=2 data=6162")) << sent[0];
        EXPECT_TRUE(sent[1].ends_with("len=0 timeout=1000 result=0 data=")) << sent[1];
        // A later session starts with the stored line settings and outputs.
        qwsim::clearRecordedLines();
        Session again(c);
        EXPECT_EQ(again.send(frame(52)), "ok");
        EXPECT_TRUE(again.end());
        EXPECT_EQ(registerWrites(), startWrites(line, "4=005d"));
        EXPECT_EQ(recorded("control dev=dev0 type=0xc0 req=0x58 ").size(), 2u);  // registers 3 and 15
    }
}

TEST_F(SerialPlimProTest, TransmitWaitsNoLongerThanTheBytesTimeOnTheLineAndASecond) {
    struct Case {
        const char* what;
        Bytes lineSettings;  // none: the settings' 8N1 at 2^31 baud (too fast to program, never tried here)
        size_t size;
        bool taken;          // whether the device takes the bytes at all
        uint32_t timeoutMs;  // what the transfer may take
    };
    const Case cases[] = {
        {"8N1, 100 ms on the line", config(9600, 8, 0, 0), 96, true, 1100},
        {"a byte more, rounded up", config(9600, 8, 0, 0), 97, true, 1102},
        {"7E2: 11 bits a byte", config(300, 7, 2, 2), 100, true, 4667},
        {"8O1.5: 11.5 bits a byte", config(115200, 8, 1, 1), 1000, true, 1100},
        {"a line at 0 baud", config(0, 8, 0, 0), 10, true, 1000},
        {"nothing to send", config(9600, 8, 0, 0), 0, true, 1000},
        {"a rate whose half bits overflow 32 bits", {}, 10, true, 1001},
        {"a device that never takes them", config(9600, 7, 2, 1), 2, false, 1003},
    };
    Settings s;
    s.flags = kFlagSuspend;
    s.serialConfig.baudRate = 0x8000'0000;
    for (const Case& c : cases) {
        load(kDevice + (c.taken ? "" : "endpoint 0x02\nhold 1\n"));
        SerialPlimProController pro(&s);
        Session session(pro);
        if (!c.lineSettings.empty()) {
            ASSERT_EQ(session.send(frame(6, c.lineSettings)), "ok") << c.what;
        }
        const qwsim::SimTime before = qwsim::now();
        const auto started = std::chrono::steady_clock::now();
        const HostMessage reply = session.ControllerSession::send(frame(40, Bytes(c.size, 'x')));
        const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        const qwsim::SimTime took = qwsim::now() - before;  // the simulator's time runs faster
        const Strings sent = recorded("out dev=dev0 ep=0x02 ");
        ASSERT_EQ(sent.size(), 1u) << c.what;
        const std::string result = c.taken ? std::to_string(c.size) : std::to_string(LIBUSB_ERROR_TIMEOUT);
        EXPECT_NE(sent[0].find(" timeout=" + std::to_string(c.timeoutMs) + " result=" + result + " "), std::string::npos)
            << c.what << ": " << sent[0].substr(0, 80);
        if (c.taken) {
            EXPECT_EQ(outcome(reply), "ok") << c.what;
            continue;
        }
        // The command fails with libusb's timeout once it has waited that long (and
        // not for ever), and the next one is served.
        ASSERT_EQ(reply.code, kMsgError) << c.what;
        err::ErrorRef e(reply.payload.data(), reply.payload.size());
        EXPECT_EQ(std::make_pair(e.guid(), e.code()), std::make_pair(err::kUsbDomain, uint32_t(LIBUSB_ERROR_TIMEOUT)));
        EXPECT_GE(took, qwsim::SimTime{c.timeoutMs} * 1000) << c.what;
        EXPECT_LT(tookMs.count(), 10 * c.timeoutMs) << c.what;
        EXPECT_EQ(session.send(frame(40, {'y'})), "ok") << c.what;
        EXPECT_TRUE(recorded("out dev=dev0 ep=0x02 ").back().ends_with(" timeout=1002 result=1 data=79"));
        EXPECT_EQ(session.send(frame(36, {1})), "ok") << c.what;
        EXPECT_TRUE(session.end());
    }
}

TEST_F(SerialPlimProTest, CaptureStopsRestartsAndSwitchesDecoderByCommand) {
    load(kDevice + "rx 0 text=ab delta=5\nrx 1 63\nend-packet\nchunk 512\nrate 51200\nthen repeat");
    Settings s;
    s.readBlockSize = 512;
    s.readParallelism = 2;
    SerialPlimProController c(&s);
    Session session(c);
    ASSERT_TRUE(session.out.waitForOutput(6 * 6));
    EXPECT_EQ(session.send(frame(53)), "ok");
    EXPECT_EQ(session.send(frame(52)), "ok");  // while the worker threads run
    ASSERT_TRUE(session.out.waitForOutput(session.out.output().size() + 4 * 6));
    EXPECT_EQ(session.send(frame(54, {1})), "ok");
    std::vector<HostMessage> m = parseMessages(session.out.output());
    for (int i = 0; i < 100 && m.back().code != 41; ++i, m = parseMessages(session.out.output()))
        session.out.waitForOutput(session.out.output().size() + 1);
    EXPECT_TRUE(session.end());
    ASSERT_EQ(m.back().code, 41);
    const Bytes packet = {3, 5, 'a', 0, 3, 5, 'b', 0, 4, 0, 0x63, 0};
    EXPECT_EQ(Bytes(m.back().payload.begin() + 8, m.back().payload.end()), cat({{0x81, 0x21}, Bytes(6), packet}));
    // Whole packets, in order, through the stop and the restart.
    for (size_t i = 0; m[i].code != 41; ++i)
        ASSERT_EQ(m[i].payload, (i % 2 ? Bytes{'c'} : Bytes{'a', 'b'})) << i;
    Strings start = startWrites({"10=0008", "11=0000", "12=0269", "13=0000", "14=0008"}, "4=0031");
    Strings expected = start;
    expected.push_back("4=0000");
    expected.insert(expected.end(), start.begin(), start.end());
    EXPECT_EQ(registerWrites(), expected);
}
