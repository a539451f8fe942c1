// SerialController against a scripted port, so that what no pty can show (modem
// lines, line errors, failing port calls) is covered on every platform.

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <span>

#include "SerialCapture.h"

namespace {

using vek::io::SerialSettings;
constexpr uint32_t kUnknown = vek::io::kModemStatusUnknown;

// What the port shows after one wait.
struct Turn {
    Bytes data;
    uint32_t errors = 0, status = kUnknown;
};

// Each wait() returns on a wake-up or with the next scripted turn; writes never
// complete. `fail` names the one step that fails, with Windows error 31.
class ScriptedPort : public vek::io::SerialPort {
public:
    std::string fail;
    std::vector<std::string> calls;  // settings, escape and write calls in order; under mutex_
    SerialSettings applied;

    void push(Turn turn) { locked([&] { turns_.push_back(std::move(turn)); }); }
    bool await(const std::string& call, long times) {
        std::unique_lock<std::mutex> hold(mutex_);
        return cv_.wait_for(hold, std::chrono::seconds(10), [&] { return std::count(calls.begin(), calls.end(), call) >= times; });
    }
    bool open(std::string_view) override { return step("open"); }
    void close() override {}
    bool isOpen() const override { return true; }
    bool setSettings(const SerialSettings& s, uint32_t mask) override {
        applied = s;
        return note("settings " + std::to_string(mask), "settings");
    }
    bool escape(vek::io::SerialEscape what) override { return note("escape " + std::to_string(int(what)), "escape"); }
    bool wake() override { return locked([&] { ++wakes_; }), true; }
    bool beginIo() override { return step("beginIo"); }
    // Reads the write still in flight: under ASan, a buffer released too early shows.
    void endIo() override {
        Bytes touched(writing_.begin(), writing_.end());
        writing_ = {};
    }
    CommWait startCommWait() override { return step("commWait") ? CommWait::kUnsupported : CommWait::kFailed; }
    bool startRead(void* buffer, size_t size) override {
        reading_ = {static_cast<uint8_t*>(buffer), size};
        return step("startRead");
    }
    bool startWrite(const void* data, size_t size) override {
        writing_ = {static_cast<const uint8_t*>(data), size};
        return note("write " + std::to_string(size), "startWrite");
    }
    bool wait(bool, int) override {
        std::unique_lock<std::mutex> hold(mutex_);
        cv_.wait(hold, [&] { return wakes_ > 0 || !turns_.empty(); });
        if (wakes_ > 0) return --wakes_, true;
        Turn turn = std::move(turns_.front());
        turns_.pop_front();
        data_ = std::move(turn.data), errors_ |= turn.errors, status_ = turn.status;
        return true;
    }
    bool takeCommEvent() override { return false; }
    IoState readState(size_t* count) override {
        if (data_.empty()) return IoState::kPending;
        if (!step("read")) return IoState::kFailed;
        std::memcpy(reading_.data(), data_.data(), *count = std::min(data_.size(), reading_.size()));
        data_.clear();
        return IoState::kDone;
    }
    IoState writeState() override { return IoState::kPending; }
    uint32_t lineErrors() override { return std::exchange(errors_, 0); }
    uint32_t modemStatus() override { return status_; }

private:
    template <class F> void locked(F f) {
        std::lock_guard<std::mutex> hold(mutex_);
        f();
        cv_.notify_all();
    }
    bool step(const char* name) { return fail != name || (vek::err::setWinError(31), false); }
    bool note(std::string call, const char* name) { return locked([&] { calls.push_back(call); }), step(name); }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Turn> turns_;
    int wakes_ = 0;
    Bytes data_;
    uint32_t errors_ = 0, status_ = kUnknown;
    std::span<uint8_t> reading_;
    std::span<const uint8_t> writing_;
};

struct Rig {
    Settings settings;
    ScriptedPort* port = new ScriptedPort;
    SerialController controller{&settings, std::unique_ptr<ScriptedPort>(port)};
    MemoryTransport output, command;
};

std::vector<uint32_t> fields(const SerialSettings& s) {
    return {s.baudRate, s.dataBits, s.stopBits, s.parity, s.flowControl, s.dtr, s.rts};
}

TEST(SerialIoLoop, ReportsDataLineErrorsAndModemChangesInOrder) {
    Rig rig;
    ASSERT_TRUE(rig.controller.start(&rig.output, nullptr));
    // Unknown from the start (a pty, Wine's COM ports) is never reported; the
    // first status read reports, an unchanged one does not, a failed read does.
    rig.port->push({{'a', 'b'}, 0, 0x3});
    rig.port->push({{}, vek::io::kLineErrorFrame | vek::io::kLineErrorBreak, 0x3});
    rig.port->push({{}, 0, kUnknown});
    rig.port->push({{'c'}, vek::io::kLineErrorParity, 0xB});
    Bytes expected;
    for (const Bytes& m : {frame(kMsgSerialData, {'a', 'b'}), frame(kMsgSerialModemStatus, {3, 0, 0, 0}),
                           frame(kMsgSerialLineErrors, {5, 0, 0, 0}), frame(kMsgSerialModemStatus, {255, 255, 255, 255}),
                           frame(kMsgSerialData, {'c'}), frame(kMsgSerialLineErrors, {2, 0, 0, 0}),
                           frame(kMsgSerialModemStatus, {0xB, 0, 0, 0})})
        expected.insert(expected.end(), m.begin(), m.end());
    ASSERT_TRUE(rig.output.waitForOutput(expected.size()));
    rig.controller.stop();
    rig.controller.waitAndClose();
    EXPECT_EQ(rig.output.output(), expected);
}

TEST(SerialIoLoop, AFailingPortStepFailsTheSession) {
    const char* steps[] = {"open", "settings", "escape", "beginIo", "commWait", "startRead", "read", "startWrite"};
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(steps[i]);
        Rig rig;
        rig.port->fail = steps[i];
        rig.command.pushInput(frame(kCmdSerialTransmit, {1, 2, 3}));
        rig.port->push({{'d'}});
        // No end of input: only the I/O thread closing the command side ends it.
        EXPECT_FALSE(rig.controller.run(&rig.output, &rig.command));
        EXPECT_EQ(vek::err::getLastError().code(), 31u);
        if (i < 3) {  // start failed: nothing reported, the error kept
            EXPECT_EQ(rig.output.output(), Bytes{});
            continue;
        }
        EXPECT_TRUE(rig.command.closed());
        expectEndedByOneError(rig.output, 31);
    }
}

TEST(SerialIoLoop, AnOutputThatFailsEndsTheCapture) {
    // Nobody reads the output any more (a closed pipe, a full disk): the capture
    // must end with the write error instead of dropping data for ever.
    Rig rig;
    rig.output.failWritesAfter(6);  // the first data message fits, the second does not
    rig.port->push({{'a', 'b'}});
    rig.port->push({{'c', 'd'}});
    EXPECT_FALSE(rig.controller.run(&rig.output, nullptr));
    EXPECT_EQ(vek::err::getLastError().code(), 232u);
    EXPECT_EQ(rig.output.output(), frame(kMsgSerialData, {'a', 'b'}));
}

TEST(SerialIoLoop, StopEndsTheLoopWhileAWriteHangsAndDropsTheQueue) {
    Rig rig;
    rig.settings.serialConfig = SerialConfig{115200, 7, kStopBitsTwo, kParityMark, 1};
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(rig.controller.start(&rig.output, nullptr));
        for (uint16_t size : {1000, 2000}) rig.controller.processCommand(frame(kCmdSerialTransmit, Bytes(size, 7)).data());
        ASSERT_TRUE(rig.port->await("write 1000", round + 1));
        rig.controller.stop();
        rig.controller.waitAndClose();  // would hang if the stuck write kept the thread
    }
    // Start applies the line settings and clears BREAK; the 2000 bytes never
    // sent belonged to their session, so the next one does not send them.
    EXPECT_EQ(rig.port->calls, (std::vector<std::string>{"settings 31", "escape 5", "write 1000", "settings 31",
                                                         "escape 5", "write 1000"}));
    EXPECT_EQ(fields(rig.port->applied), (std::vector<uint32_t>{115200, 7, 2, 3, 1, 1, 1}));
}

TEST(SerialCommands, MapOntoThePort) {
    struct Case {
        Bytes message;
        const char* fail;
        const char* call;  // expected port call, or "" for none
        uint32_t error;    // 0: succeeds
    };
    const Case cases[] = {
        {frame(kCmdSerialSetDtr, {1}), "", "escape 0", 0},   {frame(kCmdSerialSetDtr, {0}), "", "escape 1", 0},
        {frame(kCmdSerialSetRts, {0x80}), "", "escape 2", 0}, {frame(kCmdSerialSetRts, {0, 1}), "", "escape 3", 0},
        {frame(kCmdSerialSetBreak, {1}), "", "escape 4", 0}, {frame(kCmdSerialSetBreak, {0}), "", "escape 5", 0},
        {frame(kCmdSerialSetDtr), "", "", 0},                 {frame(kCmdSerialSetBreak), "", "", 0},
        {frame(kCmdSerialLineSettings, {1, 2, 3, 4, 5, 6, 7}), "", "", 0},
        {frame(kCmdSerialTransmit), "", "", 0},
        {frame(kCmdSerialSetRts, {1}), "escape", "escape 2", 31},
        {frame(0x06, {1, 2, 3}), "", "", vek::err::kWinInvalidParameter},  // a Serial Plim command
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.message[1]));
        Rig rig;
        rig.port->fail = c.fail;
        EXPECT_EQ(rig.controller.processCommand(c.message.data()), c.error == 0);
        if (c.error) {
            EXPECT_EQ(vek::err::getLastError().code(), c.error);
        }
        EXPECT_EQ(rig.port->calls, std::vector<std::string>(*c.call ? 1 : 0, c.call));
    }

    // 0x27 starts from the defaults, so it turns DTR and RTS back on that start had off.
    Rig rig;
    rig.settings.serialLineMask = kLineDtr | kLineRts;
    rig.settings.serialLines = 0;
    EXPECT_TRUE(rig.controller.processCommand(frame(kCmdSerialLineSettings, {0, 0x10, 0x0E, 0, 5, 1, 4, 2, 0xEE}).data()));
    EXPECT_EQ(fields(rig.port->applied), (std::vector<uint32_t>{921600, 5, 1, 4, 2, 1, 1}));
    EXPECT_EQ(rig.port->calls, std::vector<std::string>{"settings 31"});
}

TEST(SerialCommands, LineMaskPicksTheLevels) {
    // {mask, lines, dtr, rts}: mask 0 leaves both on.
    const uint32_t cases[][4] = {{0, 0, 1, 1}, {kLineRts, 0, 1, 0}, {kLineDtr | kLineRts, kLineRts, 0, 1},
                                 {kLineDtr | kLineRts, kLineDtr, 1, 0}};
    for (const auto& c : cases) {
        Settings s;
        s.serialLineMask = c[0], s.serialLines = c[1];
        SerialSettings line = startSettings(s);
        EXPECT_EQ(std::vector<uint32_t>({line.dtr, line.rts}), std::vector<uint32_t>({c[2], c[3]})) << c[0] << "/" << c[1];
    }
}

}  // namespace
