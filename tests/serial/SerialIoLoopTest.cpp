// The I/O loop and the command mapping against a scripted port, so that what no
// pty can show (modem lines, line errors, failing port calls) is covered on every
// platform.

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "app/session/Message.h"
#include "foundation/Error.h"
#include "serial/SerialController.h"
#include "support/MemoryTransport.h"

namespace {

using vek::io::SerialEscape;
using vek::io::SerialSettings;

// What the port shows after one wait.
struct Turn {
    std::vector<uint8_t> data;
    uint32_t errors = 0;
    uint32_t status = 0;
};

// Each wait() returns on a wake-up or with the next scripted turn. `fail` names
// one step that fails with Windows error 31.
class ScriptedPort : public vek::io::SerialPort {
public:
    std::string fail;
    uint32_t status = vek::io::kModemStatusUnknown;
    std::vector<std::string> calls;  // open, settings/escape calls, in order
    SerialSettings applied;

    void push(Turn turn) {
        std::lock_guard<std::mutex> hold(mutex_);
        turns_.push_back(std::move(turn));
        cv_.notify_all();
    }

    bool open(std::string_view) override { return step("open"); }
    void close() override {}
    bool isOpen() const override { return true; }
    bool setSettings(const SerialSettings& s, uint32_t mask) override {
        applied = s;
        calls.push_back("settings " + std::to_string(mask));
        return step("settings");
    }
    bool escape(SerialEscape what) override {
        calls.push_back("escape " + std::to_string(static_cast<int>(what)));
        return step("escape");
    }
    bool wake() override {
        std::lock_guard<std::mutex> hold(mutex_);
        ++wakes_;
        cv_.notify_all();
        return true;
    }
    bool beginIo() override { return step("beginIo"); }
    void endIo() override {
        // Touches a write still in flight: under ASan, a buffer freed too early shows.
        if (writeData_) {
            std::vector<uint8_t> copy(writeData_, writeData_ + writeSize_);
            writeData_ = nullptr;
        }
    }
    CommWait startCommWait() override { return step("commWait") ? CommWait::kUnsupported : CommWait::kFailed; }
    bool startRead(void* buffer, size_t size) override {
        readBuffer_ = static_cast<uint8_t*>(buffer);
        readSize_ = size;
        return step("startRead");
    }
    bool startWrite(const void* data, size_t size) override {
        writeData_ = static_cast<const uint8_t*>(data);
        writeSize_ = size;
        return step("startWrite");
    }
    bool wait(bool, int) override {
        std::unique_lock<std::mutex> hold(mutex_);
        cv_.wait(hold, [&] { return wakes_ > 0 || !turns_.empty(); });
        if (wakes_ > 0) {
            --wakes_;
            return true;
        }
        Turn turn = std::move(turns_.front());
        turns_.pop_front();
        data_ = std::move(turn.data);
        errors_ |= turn.errors;
        status = turn.status;
        return true;
    }
    bool takeCommEvent() override { return false; }
    IoState readState(size_t* count) override {
        if (data_.empty()) return IoState::kPending;
        if (!step("read")) return IoState::kFailed;
        *count = std::min(data_.size(), readSize_);
        std::memcpy(readBuffer_, data_.data(), *count);
        data_.clear();
        return IoState::kDone;
    }
    IoState writeState() override {
        // Writes never complete here: stop must still end the loop.
        return IoState::kPending;
    }
    uint32_t lineErrors() override { return std::exchange(errors_, 0); }
    uint32_t modemStatus() override { return status; }

private:
    bool step(const char* name) {
        if (fail != name) return true;
        vek::err::setWinError(31);
        return false;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Turn> turns_;
    int wakes_ = 0;
    std::vector<uint8_t> data_;
    uint32_t errors_ = 0;
    uint8_t* readBuffer_ = nullptr;
    size_t readSize_ = 0;
    const uint8_t* writeData_ = nullptr;
    size_t writeSize_ = 0;
};

std::vector<uint8_t> u32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

struct Rig {
    Settings settings;
    ScriptedPort* port;
    SerialController controller;
    MemoryTransport output, command;

    Rig() : Rig(std::make_unique<ScriptedPort>()) {}
    explicit Rig(std::unique_ptr<ScriptedPort> p) : port(p.get()), controller(&settings, std::move(p)) {}
};

TEST(SerialIoLoop, ReportsDataLineErrorsAndModemChangesInOrder) {
    Rig rig;
    rig.port->status = 0x3;
    ASSERT_TRUE(rig.controller.start(&rig.output, nullptr));
    rig.port->push({{'a', 'b'}, 0, 0x3});  // same status: no report
    rig.port->push({{}, vek::io::kLineErrorFrame | vek::io::kLineErrorBreak, 0xB});
    rig.port->push({{}, 0, vek::io::kModemStatusUnknown});  // the poll failed
    rig.port->push({{'c'}, vek::io::kLineErrorParity, 0xB});
    const std::vector<HostMessage> expected = {
        {2, kMsgSerialModemStatus, u32(0x3)},  {2, kMsgSerialData, {'a', 'b'}},
        {2, kMsgSerialLineErrors, u32(0x5)},   {2, kMsgSerialModemStatus, u32(0xB)},
        {2, kMsgSerialModemStatus, u32(~0u)},  {2, kMsgSerialData, {'c'}},
        {2, kMsgSerialLineErrors, u32(0x2)},   {2, kMsgSerialModemStatus, u32(0xB)},
    };
    size_t total = 0;
    for (auto& m : expected) total += 4 + m.payload.size();
    ASSERT_TRUE(rig.output.waitForOutput(total));
    rig.controller.stop();
    rig.controller.waitAndClose();

    auto got = parseMessages(rig.output.output());
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].code, expected[i].code) << i;
        EXPECT_EQ(got[i].payload, expected[i].payload) << i;
    }
}

TEST(SerialIoLoop, PortWithoutModemLinesNeverReportsThem) {
    Rig rig;  // status stays unknown, as on a pty or Wine's COM ports
    ASSERT_TRUE(rig.controller.start(&rig.output, nullptr));
    rig.port->push({{'x'}, 0, vek::io::kModemStatusUnknown});
    ASSERT_TRUE(rig.output.waitForOutput(5));
    rig.controller.stop();
    rig.controller.waitAndClose();
    auto got = parseMessages(rig.output.output());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, kMsgSerialData);
}

TEST(SerialIoLoop, AFailingPortEndsTheSessionWithOneError) {
    for (const char* step : {"beginIo", "commWait", "startRead", "read", "startWrite"}) {
        Rig rig;
        rig.port->fail = step;
        std::thread session([&] { rig.controller.run(&rig.output, &rig.command); });
        rig.command.pushInput(frame(kCmdSerialTransmit, {1, 2, 3}));
        rig.port->push({{'d'}, 0, vek::io::kModemStatusUnknown});
        // No end of input: only the I/O thread closing the command side ends it.
        session.join();
        EXPECT_TRUE(rig.command.closed()) << step;
        auto got = parseMessages(rig.output.output());
        ASSERT_FALSE(got.empty()) << step;
        size_t errors = 0;
        for (auto& m : got) errors += m.code == kMsgError;
        EXPECT_EQ(errors, 1u) << step;
        ASSERT_EQ(got.back().code, kMsgError) << step;
        EXPECT_EQ(vek::err::ErrorRef(got.back().payload.data(), got.back().payload.size()).code(), 31u) << step;
    }
}

TEST(SerialIoLoop, StopEndsTheLoopWhileAWriteHangs) {
    Rig rig;
    std::thread session([&] { rig.controller.run(&rig.output, &rig.command); });
    for (int i = 0; i < 3; ++i) rig.command.pushInput(frame(kCmdSerialTransmit, std::vector<uint8_t>(1000, 7)));
    ASSERT_TRUE(rig.command.waitForOutput(3 * 4));
    rig.command.endInput();
    session.join();  // would hang if the stuck write kept the thread
    SUCCEED();
}

TEST(SerialCommands, LevelsAndSettingsReachThePort) {
    struct Case {
        std::vector<uint8_t> message;
        const char* call;  // expected port call, or "" for none
    };
    const Case cases[] = {
        {frame(kCmdSerialSetDtr, {1}), "escape 0"},   {frame(kCmdSerialSetDtr, {0}), "escape 1"},
        {frame(kCmdSerialSetRts, {0x80}), "escape 2"}, {frame(kCmdSerialSetRts, {0, 1}), "escape 3"},
        {frame(kCmdSerialSetBreak, {1}), "escape 4"}, {frame(kCmdSerialSetBreak, {0}), "escape 5"},
        {frame(kCmdSerialSetDtr), ""},                 {frame(kCmdSerialLineSettings, {1, 2, 3, 4, 5, 6, 7}), ""},
        {frame(kCmdSerialTransmit), ""},
        {frame(kCmdSerialLineSettings, {0x80, 0x25, 0, 0, 7, 2, 1, 1}), "settings 31"},
    };
    for (const Case& c : cases) {
        Rig rig;
        EXPECT_TRUE(rig.controller.processCommand(c.message.data()));
        std::vector<std::string> expected;
        if (*c.call) expected.push_back(c.call);
        EXPECT_EQ(rig.port->calls, expected) << int(c.message[1]);
    }
    Rig rig;
    rig.port->fail = "escape";
    EXPECT_FALSE(rig.controller.processCommand(frame(kCmdSerialSetRts, {1}).data()));
    EXPECT_EQ(vek::err::getLastError().code(), 31u);
}

TEST(SerialCommands, StartAppliesLineSettingsAndClearsBreak) {
    Rig rig;
    rig.settings.serialConfig.baudRate = 57600;
    rig.settings.serialLineMask = kLineRts;
    rig.settings.serialLines = 0;
    ASSERT_TRUE(rig.controller.start(&rig.output, nullptr));
    rig.controller.stop();
    rig.controller.waitAndClose();
    EXPECT_EQ(rig.port->calls, (std::vector<std::string>{"settings 31", "escape 5"}));
    EXPECT_EQ(rig.port->applied.baudRate, 57600u);
    EXPECT_EQ(rig.port->applied.rts, 0);
    EXPECT_EQ(rig.port->applied.dtr, 1);

    for (const char* step : {"open", "settings", "escape"}) {
        Rig failing;
        failing.port->fail = step;
        EXPECT_FALSE(failing.controller.start(&failing.output, nullptr)) << step;
        EXPECT_EQ(vek::err::getLastError().code(), 31u) << step;
        failing.controller.waitAndClose();
    }
}

}  // namespace
