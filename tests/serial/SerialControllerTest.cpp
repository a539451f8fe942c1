// SerialController against a scripted port, so that what no pty can show (modem
// lines, line errors, failing port calls) is covered on every platform.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <span>

#include "session/Message.h"
#include "foundation/Error.h"
#include "foundation/Thread.h"
#include "serial/SerialController.h"
#include "support/MemoryTransport.h"

namespace {

using vek::io::SerialSettings;
constexpr uint32_t kUnknown = vek::io::kModemStatusUnknown;

// What the port shows after one wait.
struct Turn {
    Bytes data;
    uint32_t errors = 0, status = kUnknown;
};

// Each wait() returns on a wake-up or with the next scripted turn; writes never
// complete, or take `writeMs` each. `fail` names the one step that fails, with
// Windows error 31.
class ScriptedPort : public vek::io::SerialPort {
public:
    std::string fail;
    int writeMs = -1;
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
        writeStarted_ = std::chrono::steady_clock::now();
        return note("write " + std::to_string(size), "startWrite");
    }
    bool wait(bool, int timeoutMs) override {
        std::unique_lock<std::mutex> hold(mutex_);
        auto ready = [&] { return wakes_ > 0 || !turns_.empty(); };
        if (timeoutMs < 0)
            cv_.wait(hold, ready);
        else if (!cv_.wait_for(hold, std::chrono::milliseconds(timeoutMs), ready))
            return true;
        if (wakes_ > 0) return --wakes_, true;
        data_ = std::move(turns_.front().data), errors_ |= turns_.front().errors, status_ = turns_.front().status;
        turns_.pop_front();
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
    IoState writeState() override {
        bool done = writeMs >= 0 && std::chrono::steady_clock::now() - writeStarted_ >= std::chrono::milliseconds(writeMs);
        return done ? IoState::kDone : IoState::kPending;
    }
    size_t outputPending() override { return 0; }
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
    std::chrono::steady_clock::time_point writeStarted_;
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
    const Bytes expected = cat({frame(kMsgSerialData, {'a', 'b'}), frame(kMsgSerialModemStatus, {3, 0, 0, 0}),
                                frame(kMsgSerialLineErrors, {5, 0, 0, 0}), frame(kMsgSerialModemStatus, {255, 255, 255, 255}),
                                frame(kMsgSerialData, {'c'}), frame(kMsgSerialLineErrors, {2, 0, 0, 0}),
                                frame(kMsgSerialModemStatus, {0xB, 0, 0, 0})});
    ASSERT_TRUE(rig.output.waitForOutput(expected.size()));
    rig.controller.stop();
    rig.controller.waitAndClose();
    EXPECT_EQ(rig.output.output(), expected);
}

TEST(SerialIoLoop, AFailureEndsTheSession) {
    // Each port step in turn, then the output: when nobody reads it any more (a closed
    // pipe, a full disk) the capture must end with the write error, not drop data for ever.
    // "thread": the I/O thread cannot start, the same record as a USB controller's.
    for (std::string step : {"open", "settings", "escape", "thread", "beginIo", "commWait", "startRead", "read",
                             "startWrite", "output"}) {
        SCOPED_TRACE(step);
        Rig rig;
        rig.port->fail = step;
        if (step == "thread") vek::sys::failNextThreadStarts(1);
        bool atStart = step == "open" || step == "settings" || step == "escape" || step == "thread";
        bool output = step == "output";
        if (output) rig.output.failWritesAfter(5);  // the first data message fits, no more
        // No end of input for a capture: only the I/O thread closing the command side
        // ends it. A start that should fail gets one, so that it cannot hang the test.
        if (atStart) rig.command.endInput();
        rig.command.pushInput(frame(kCmdSerialTransmit, {1, 2, 3}));
        rig.port->push({{'d'}});
        rig.port->push({{'e'}});
        EXPECT_FALSE(rig.controller.run(&rig.output, &rig.command));
        EXPECT_EQ(vek::err::getLastError().code(), output ? 232u : step == "thread" ? 1450u : 31u);
        EXPECT_EQ(rig.command.closed(), !atStart);
        std::vector<HostMessage> got = parseMessages(rig.output.output());
        if (atStart || output) {  // a failed start reports nothing and keeps its error
            EXPECT_EQ(rig.output.output(), atStart ? Bytes{} : frame(kMsgSerialData, {'d'}));
        } else {  // one error message, the last
            EXPECT_EQ(joinedPayloads(got, kMsgError), errorRecordOf(vek::err::kWinDomain, 31));
            EXPECT_TRUE(!got.empty() && got.back().code == kMsgError);
        }
    }
}

TEST(SerialIoLoop, EachStartAppliesSettingsAndAStopReportsTransmitsThatCannotLeave) {
    // {mask, lines, dtr, rts}: DTR and RTS are on unless the mask picks a level.
    const uint32_t levels[][4] = {{0, 0, 1, 1}, {kLineRts, 0, 1, 0}, {kLineDtr | kLineRts, kLineRts, 0, 1},
                                  {kLineDtr | kLineRts, kLineDtr, 1, 0}};
    Rig rig;
    rig.settings.serialConfig = SerialConfig{921600, 7, kStopBitsTwo, kParityMark, 1};
    std::vector<std::string> expected;
    for (int round = 0; round < 4; ++round) {
        const uint32_t* c = levels[round];
        rig.settings.serialLineMask = c[0], rig.settings.serialLines = c[1];
        ASSERT_TRUE(rig.controller.start(&rig.output, nullptr));
        EXPECT_EQ(fields(rig.port->applied), (std::vector<uint32_t>{921600, 7, 2, 3, 1, c[2], c[3]})) << round;
        expected.insert(expected.end(), {"settings 31", "escape 5"});
        if (round == 3) {
            // This port never completes a write: the stop waits the bytes' time on
            // the line plus a second, then says how many never left.
            for (uint16_t size : {1000, 2000}) EXPECT_TRUE(rig.controller.processCommand(frame(kCmdSerialTransmit, Bytes(size, 7)).data()));
            ASSERT_TRUE(rig.port->await("write 1000", 1));
            expected.push_back("write 1000");
        }
        auto begin = std::chrono::steady_clock::now();
        rig.controller.stop();
        rig.controller.waitAndClose();
        auto took = std::chrono::steady_clock::now() - begin;
        if (round == 3) {
            EXPECT_GE(took, std::chrono::milliseconds(kTransmitDrainGraceMs + lineTimeMs(rig.port->applied, 3000) - 20));
        }
    }
    // Each start applies the line settings and clears BREAK; the 2000 bytes never
    // sent belonged to their session, so the next one does not send them.
    EXPECT_EQ(rig.port->calls, expected);
    std::vector<HostMessage> got = parseMessages(rig.output.output());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(vek::err::getErrorDescription(vek::err::ErrorRef(got[0].payload.data(), got[0].payload.size())),
              "3000 acknowledged transmit bytes could not be sent before the port closed");
}

// A slow machine sends slowly, but sends: the drain gives up only when nothing
// has left for the rest's line time and a second, not after one such span in all.
TEST(SerialIoLoop, AStopWaitsForTransmitsAsLongAsTheyKeepLeaving) {
    Rig rig;
    rig.settings.serialConfig = SerialConfig{921600, 8, kStopBitsOne, kParityNone, 0};
    rig.port->writeMs = 400;  // four writes: 1.6 s, past a second and the bytes' 44 ms
    ASSERT_TRUE(rig.controller.start(&rig.output, nullptr));
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(rig.controller.processCommand(frame(kCmdSerialTransmit, Bytes(1000, 7)).data()));
    rig.controller.stop();
    rig.controller.waitAndClose();
    EXPECT_EQ(std::count(rig.port->calls.begin(), rig.port->calls.end(), "write 1000"), 4);
    EXPECT_EQ(rig.output.output(), Bytes{});  // no error: every byte left
}

TEST(SerialIoLoop, TransmitsWaitForRoomAndLineTimesFollowTheFrame) {
    // A full queue holds the command loop until the line takes bytes; the frame
    // sets how long bytes take: 10 bits at 9600 baud is ~1.04 ms a byte.
    Rig rig;
    ASSERT_TRUE(rig.controller.start(&rig.output, nullptr));
    Bytes chunk(0xFFFF, 1);
    size_t fits = kTransmitQueueLimit / chunk.size();
    for (size_t i = 0; i < fits + 1; ++i) ASSERT_TRUE(rig.controller.processCommand(frame(kCmdSerialTransmit, chunk).data()));
    // One request is in flight, `fits` queued: the next one must wait.
    auto blocked = std::async(std::launch::async, [&] {
        bool ok = rig.controller.processCommand(frame(kCmdSerialTransmit, chunk).data());
        return ok ? 0u : vek::err::getLastError().code();
    });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    // The capture ends without sending: the waiting command is refused, not left hanging.
    rig.port->fail = "read";
    rig.port->push({{'x'}});
    EXPECT_EQ(blocked.get(), uint32_t(vek::err::kWinInvalidHandleState));
    rig.controller.stop();
    rig.controller.waitAndClose();

    vek::io::SerialSettings line;
    const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint64_t, uint64_t> frames[] = {
        {9600, 8, 0, 0, 9600, 10000}, {9600, 8, 2, 2, 960, 1200}, {115200, 5, 1, 0, 115200, 7500},
        {300, 7, 0, 1, 1, 34},  // a part of a millisecond counts whole
    };
    for (auto [baud, data, stop, parity, bytes, ms] : frames) {
        line.baudRate = baud, line.dataBits = data, line.stopBits = stop, line.parity = parity;
        EXPECT_EQ(lineTimeMs(line, bytes), ms) << baud << " " << data << stop << parity;
    }
}

TEST(SerialCommands, MapOntoThePort) {
    // {command, the port call that fails, the port call expected ("": none), error (0: none)}
    const std::tuple<Bytes, const char*, const char*, uint32_t> cases[] = {
        {frame(kCmdSerialSetDtr, {1}), "", "escape 0", 0},   {frame(kCmdSerialSetDtr, {0}), "", "escape 1", 0},
        {frame(kCmdSerialSetRts, {0x80}), "", "escape 2", 0}, {frame(kCmdSerialSetRts, {0, 1}), "", "escape 3", 0},
        {frame(kCmdSerialSetBreak, {1}), "", "escape 4", 0}, {frame(kCmdSerialSetBreak, {0}), "", "escape 5", 0},
        {frame(kCmdSerialSetDtr), "", "", 0},                 {frame(kCmdSerialSetBreak), "", "", 0},
        {frame(kCmdSerialLineSettings, {1, 2, 3, 4, 5, 6, 7}), "", "", 0}, {frame(kCmdSerialTransmit), "", "", 0},
        // A failing port call, and 0x06, a Serial Plim command: invalid parameter.
        {frame(kCmdSerialSetRts, {1}), "escape", "escape 2", 31}, {frame(0x06, {1, 2, 3}), "", "", 87},
    };
    for (const auto& [message, fail, call, error] : cases) {
        SCOPED_TRACE(int(message[1]));
        Rig rig;
        rig.port->fail = fail;
        bool ok = rig.controller.processCommand(message.data());
        EXPECT_EQ(ok ? 0 : vek::err::getLastError().code(), error);
        EXPECT_EQ(rig.port->calls, std::vector<std::string>(*call ? 1 : 0, call));
    }

    // 0x27 starts from the defaults, so it turns DTR and RTS back on that start had off.
    Rig rig;
    rig.settings.serialLineMask = kLineDtr | kLineRts, rig.settings.serialLines = 0;
    EXPECT_TRUE(rig.controller.processCommand(frame(kCmdSerialLineSettings, {0, 0x10, 0x0E, 0, 5, 1, 4, 2, 0xEE}).data()));
    EXPECT_EQ(fields(rig.port->applied), (std::vector<uint32_t>{921600, 5, 1, 4, 2, 1, 1}));
    EXPECT_EQ(rig.port->calls, std::vector<std::string>{"settings 31"});
}

}  // namespace
