// SerialController on a real COM port. Runs only when QW_TEST_COM_PORT names one
// whose far end is driven by serial_com_port.py (under Wine: a COM port mapped
// onto a pty, the Linux side playing the far end). The exchange:
//   we transmit "ping from windows"; the far end answers "pong from linux" and
//   64 KiB of bytes counting modulo 251;
//   we transmit "bye"; the far end hangs up, which must end the session with
//   exactly one error message.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/session/Message.h"
#include "foundation/Error.h"
#include "serial/SerialController.h"
#include "support/MemoryTransport.h"

namespace {

std::vector<uint8_t> bytes(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

std::vector<uint8_t> received(const std::vector<HostMessage>& messages) {
    std::vector<uint8_t> data;
    for (const HostMessage& m : messages)
        if (m.code == kMsgSerialData) data.insert(data.end(), m.payload.begin(), m.payload.end());
    return data;
}

TEST(WineComPort, BytesBothWaysThenHangUp) {
    const char* port = std::getenv("QW_TEST_COM_PORT");
    if (!port || !*port) GTEST_SKIP() << "QW_TEST_COM_PORT not set (serial_com_port.py sets it)";

    Settings settings;
    settings.hardwareKind = kHardwareSerial;
    settings.serialPortName = port;
    settings.serialConfig.baudRate = 115200;
    SerialController controller(&settings);
    MemoryTransport output, command;
    bool result = false;
    std::thread session([&] { result = controller.run(&output, &command); });

    command.pushInput(frame(kCmdSerialLineSettings, {0x00, 0xC2, 0x01, 0x00, 8, 0, 0, 0}));
    command.pushInput(frame(kCmdSerialTransmit, bytes("ping from windows")));
    auto pong = bytes("pong from linux");
    for (int i = 0; i < 65536; ++i) pong.push_back(static_cast<uint8_t>(i % 251));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received(parseMessages(output.output())).size() < pong.size() && std::chrono::steady_clock::now() < deadline)
        output.waitForOutput(output.output().size() + 1, 1000);
    EXPECT_TRUE(received(parseMessages(output.output())) == pong);

    command.pushInput(frame(kCmdSerialTransmit, bytes("bye")));
    // The hang-up closes the command transport, which ends the session on its own.
    session.join();
    EXPECT_TRUE(result);
    EXPECT_TRUE(command.closed());

    auto replies = parseMessages(command.output());
    ASSERT_EQ(replies.size(), 3u);
    for (const HostMessage& r : replies) EXPECT_EQ(r.code, kMsgDone);

    auto messages = parseMessages(output.output());
    size_t errors = 0;
    for (const HostMessage& m : messages) {
        if (m.code != kMsgError) continue;
        ++errors;
        vek::err::ErrorRef record(m.payload.data(), m.payload.size());
        std::printf("[ hang-up  ] %s\n", vek::err::getErrorDescription(record).c_str());
    }
    EXPECT_EQ(errors, 1u);
    EXPECT_EQ(messages.back().code, kMsgError);
}

}  // namespace
