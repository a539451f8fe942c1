// SerialController on a real tty: a pty pair, the test playing the far end.

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "app/session/Message.h"
#include "foundation/Error.h"
#include "serial/SerialController.h"
#include "support/MemoryTransport.h"
#include "support/PtyPair.h"

namespace {

std::vector<uint8_t> bytes(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

size_t count(const std::vector<HostMessage>& messages, uint8_t code) {
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(), [&](auto& m) { return m.code == code; }));
}

std::vector<uint8_t> received(const std::vector<uint8_t>& output) {
    std::vector<uint8_t> data;
    for (const HostMessage& m : parseMessages(output))
        if (m.code == kMsgSerialData) data.insert(data.end(), m.payload.begin(), m.payload.end());
    return data;
}

// Waits until the data messages on `out` carry at least n bytes.
std::vector<uint8_t> waitForData(const MemoryTransport& out, size_t n, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::vector<uint8_t> output = out.output();
        std::vector<uint8_t> data = received(output);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (data.size() >= n || left.count() <= 0) return data;
        out.waitForOutput(output.size() + 1, static_cast<int>(left.count()));
    }
}

class SerialPty : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        settings.hardwareKind = kHardwareSerial;
        settings.serialPortName = pty.slavePath();
    }
    // The session as the program runs it: start, command loop on `command`, stop.
    void runSession() {
        session = std::thread([this] { sessionResult = controller.run(&output, &command); });
    }
    void endSession() {
        command.endInput();
        if (session.joinable()) session.join();
    }
    void TearDown() override { endSession(); }

    PtyPair pty;
    Settings settings;
    SerialController controller{&settings};
    MemoryTransport output, command;
    std::thread session;
    bool sessionResult = false;
};

TEST_F(SerialPty, ReceivedBytesArriveAsTheyComeAndInOrder) {
    ASSERT_TRUE(controller.start(&output, nullptr));
    // Far fewer bytes than the read buffer: they must not wait for it to fill.
    ASSERT_TRUE(pty.write(bytes("hello")));
    EXPECT_EQ(waitForData(output, 5), bytes("hello"));
    ASSERT_TRUE(pty.write(bytes(", world")));
    EXPECT_EQ(waitForData(output, 12), bytes("hello, world"));
    controller.stop();
    controller.waitAndClose();

    auto messages = parseMessages(output.output());
    // A pty has no modem lines and no error counters: nothing but data.
    EXPECT_EQ(count(messages, kMsgSerialData), messages.size());
}

TEST_F(SerialPty, OneMebibyteStreamsThroughIntact) {
    constexpr size_t kSize = 1 << 20;
    std::vector<uint8_t> sent(kSize);
    std::mt19937 random(7);
    for (uint8_t& b : sent) b = static_cast<uint8_t>(random());

    ASSERT_TRUE(controller.start(&output, nullptr));
    auto began = std::chrono::steady_clock::now();
    std::thread writer([&] { EXPECT_TRUE(pty.write(sent)); });
    std::vector<uint8_t> got = waitForData(output, kSize, 30000);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    writer.join();
    controller.stop();
    controller.waitAndClose();

    ASSERT_EQ(got.size(), kSize);
    EXPECT_TRUE(got == sent);
    std::printf("[ measure  ] 1 MiB through the pty in %.3f s: %.1f MB/s\n", seconds, kSize / seconds / 1e6);
    RecordProperty("MBps", static_cast<int>(kSize / seconds / 1e6));
}

TEST_F(SerialPty, TransmitCommandsLeaveInOrderAndAreAnswered) {
    runSession();
    std::vector<uint8_t> expected;
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> chunk(1 + i * 97, static_cast<uint8_t>('a' + i));
        expected.insert(expected.end(), chunk.begin(), chunk.end());
        command.pushInput(frame(kCmdSerialTransmit, chunk));
    }
    EXPECT_EQ(pty.read(expected.size()), expected);
    endSession();
    EXPECT_TRUE(sessionResult);

    auto replies = parseMessages(command.output());
    EXPECT_EQ(count(replies, kMsgDone), 20u);
    EXPECT_EQ(count(replies, kMsgError), 0u);
}

TEST_F(SerialPty, LineSettingsCommandReachesThePort) {
    runSession();
    // 12345 baud (only BOTHER can say it), 7 data bits, 2 stop bits, space parity, RTS/CTS.
    command.pushInput(frame(kCmdSerialLineSettings, {0x39, 0x30, 0, 0, 7, 2, 4, 1}));
    ASSERT_TRUE(command.waitForOutput(4));
    auto reply = parseMessages(command.output());
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].code, kMsgDone);

    // Exclusive open does not stop root; the attributes belong to the tty.
    int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios2 tio{};
    ASSERT_EQ(ioctl(fd, TCGETS2, &tio), 0);
    close(fd);
    EXPECT_EQ(tio.c_ospeed, 12345u);
    // A pty forces 8 data bits without parity bit; the rest sticks.
    EXPECT_EQ(tio.c_cflag & (CSTOPB | PARODD | CMSPAR | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CMSPAR | CRTSCTS));
    EXPECT_EQ(tio.c_lflag & ICANON, 0u);
    endSession();
}

TEST_F(SerialPty, HungUpLineEndsTheSessionWithOneError) {
    runSession();
    ASSERT_TRUE(pty.write(bytes("last words")));
    ASSERT_EQ(waitForData(output, 10), bytes("last words"));
    pty.closeMaster();
    // The I/O thread closes the command transport, which ends the command loop.
    session.join();
    EXPECT_TRUE(command.closed());

    auto messages = parseMessages(output.output());
    ASSERT_EQ(count(messages, kMsgError), 1u);
    const HostMessage& error = messages.back();
    ASSERT_EQ(error.code, kMsgError);
    vek::err::ErrorRef record(error.payload.data(), error.payload.size());
    EXPECT_EQ(record.recordSize(), error.payload.size());
    EXPECT_EQ(record.guid(), vek::err::kErrnoDomain);
    EXPECT_EQ(record.code(), static_cast<uint32_t>(EIO));
}

TEST_F(SerialPty, RestartsAfterWaitAndClose) {
    for (int round = 0; round < 3; ++round) {
        MemoryTransport out;
        ASSERT_TRUE(controller.start(&out, nullptr)) << vek::err::getLastErrorDescription();
        std::string text = "round " + std::to_string(round);
        ASSERT_TRUE(pty.write(text.data(), text.size()));
        EXPECT_EQ(waitForData(out, text.size()), bytes(text.c_str()));
        controller.processCommand(frame(kCmdSerialTransmit, bytes("ok")).data());
        EXPECT_EQ(pty.read(2), bytes("ok"));
        controller.stop();
        controller.waitAndClose();
    }
}

TEST_F(SerialPty, StopsPromptlyWhileTheFarEndTakesNothing) {
    ASSERT_TRUE(controller.start(&output, nullptr));
    // Far more than the pty buffers: the write stays unfinished.
    EXPECT_TRUE(controller.processCommand(frame(kCmdSerialTransmit, std::vector<uint8_t>(60000, 'z')).data()));
    EXPECT_TRUE(controller.processCommand(frame(kCmdSerialTransmit, bytes("never sent")).data()));
    ASSERT_FALSE(pty.read(1, 2000).empty());
    auto began = std::chrono::steady_clock::now();
    controller.stop();
    controller.waitAndClose();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));

    // The queued rest belonged to that session: a new one starts with nothing to send.
    std::vector<uint8_t> drained;
    while (!(drained = pty.read(65536, 200)).empty()) {
    }
    ASSERT_TRUE(controller.start(&output, nullptr));
    controller.processCommand(frame(kCmdSerialTransmit, bytes("fresh")).data());
    EXPECT_EQ(pty.read(5), bytes("fresh"));
    controller.stop();
    controller.waitAndClose();
}

}  // namespace
