// SerialController without a line: commands that must not touch the port, the
// failure paths, and the settings the controller derives.

#include <gtest/gtest.h>

#include "app/session/CommandLoop.h"
#include "app/session/Message.h"
#include "foundation/Error.h"
#include "serial/SerialController.h"
#include "support/MemoryTransport.h"

namespace {

using vek::io::SerialSettings;

TEST(SerialController, CommandsThatNeedNoPortSucceedAndUnknownOnesFail) {
    Settings settings;
    SerialController controller(&settings);
    MemoryTransport command;
    // No port is open: any of these reaching the port would fail.
    const std::vector<uint8_t> inputs[] = {
        frame(kCmdSerialSetDtr),
        frame(kCmdSerialSetRts),
        frame(kCmdSerialSetBreak),
        frame(kCmdSerialLineSettings, {0x00, 0xC2, 0x01, 0x00, 8, 0, 0}),  // 7 bytes: too short
        frame(kCmdSerialTransmit),
        frame(0x06, {1, 2, 3}),  // a Serial Plim command, not ours
    };
    for (const auto& input : inputs) command.pushInput(input);
    command.endInput();
    EXPECT_TRUE(commandLoop(command, controller));

    auto replies = parseMessages(command.output());
    ASSERT_EQ(replies.size(), std::size(inputs));
    for (size_t i = 0; i + 1 < replies.size(); ++i) EXPECT_EQ(replies[i].code, kMsgDone) << i;
    const HostMessage& error = replies.back();
    ASSERT_EQ(error.code, kMsgError);
    vek::err::ErrorRef record(error.payload.data(), error.payload.size());
    EXPECT_EQ(record.guid(), vek::err::kWinDomain);
    EXPECT_EQ(record.code(), vek::err::kWinInvalidParameter);
}

TEST(SerialController, MissingPortFailsToStartAndStaysRestartable) {
    Settings settings;
    settings.serialPortName = "qw-no-such-serial-port";
    SerialController controller(&settings);
    MemoryTransport output, command;
    for (int round = 0; round < 2; ++round) {
        EXPECT_FALSE(controller.run(&output, &command));
        // ENOENT and ERROR_FILE_NOT_FOUND are both 2.
        EXPECT_EQ(vek::err::getLastError().code(), 2u);
    }
    EXPECT_TRUE(output.output().empty());
}

TEST(SerialController, LogsAsSerialCapture) {
    Settings settings;
    SerialController controller(&settings);
    auto guids = controller.getLogGuids();
    ASSERT_EQ(guids.size(), 1u);
    EXPECT_EQ(vek::guidToString(guids[0]), "29725452-e64f-4c0e-a871-776277b68572");
}

TEST(SerialStartSettings, LineMaskPicksModemLineLevels) {
    struct Case {
        uint32_t mask, lines;
        uint8_t dtr, rts;
    };
    const Case cases[] = {
        {0, 0, 1, 1},                          // nothing chosen: both on
        {0, kLineDtr | kLineRts, 1, 1},        // levels without mask bits are ignored
        {kLineDtr, 0, 0, 1},                   // --ser-dtr 0
        {kLineRts, 0, 1, 0},                   // --ser-rts 0
        {kLineDtr | kLineRts, kLineRts, 0, 1},
        {kLineDtr | kLineRts, kLineDtr, 1, 0},
        {kLineDtr | kLineRts, 0, 0, 0},
    };
    for (const Case& c : cases) {
        Settings s;
        s.serialLineMask = c.mask;
        s.serialLines = c.lines;
        SerialSettings line = startSettings(s);
        EXPECT_EQ(line.dtr, c.dtr) << c.mask << "/" << c.lines;
        EXPECT_EQ(line.rts, c.rts) << c.mask << "/" << c.lines;
    }

    Settings s;
    s.serialConfig = SerialConfig{115200, 7, kStopBitsTwo, kParityMark, 1};
    SerialSettings line = startSettings(s);
    EXPECT_EQ(line.baudRate, 115200u);
    EXPECT_EQ(line.dataBits, 7u);
    EXPECT_EQ(line.stopBits, 2u);
    EXPECT_EQ(line.parity, 3u);
    EXPECT_EQ(line.flowControl, 1u);
}

TEST(SerialCommandSettings, PayloadOverDefaults) {
    SerialSettings line;
    line.dtr = 0;  // must be replaced: the command starts from the defaults
    const uint8_t payload[] = {0x00, 0x10, 0x0E, 0x00, 5, 1, 4, 2, 0xEE};
    ASSERT_TRUE(commandSettings(payload, sizeof payload, &line));
    EXPECT_EQ(line.baudRate, 921600u);
    EXPECT_EQ(line.dataBits, 5u);
    EXPECT_EQ(line.stopBits, 1u);
    EXPECT_EQ(line.parity, 4u);
    EXPECT_EQ(line.flowControl, 2u);
    EXPECT_EQ(line.dtr, 1);
    EXPECT_EQ(line.rts, 1);
    EXPECT_EQ(line.readInterval, 10u);

    SerialSettings untouched;
    untouched.baudRate = 1;
    EXPECT_FALSE(commandSettings(payload, 7, &untouched));
    EXPECT_EQ(untouched.baudRate, 1u);
}

}  // namespace
