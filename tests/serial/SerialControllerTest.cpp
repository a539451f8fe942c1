// SerialController without a line: commands that must not touch the port, the
// failure paths, and the settings the controller derives.

#include <gtest/gtest.h>

#include <vector>

#include "app/session/CommandLoop.h"
#include "app/session/Message.h"
#include "foundation/Error.h"
#include "serial/SerialController.h"
#include "support/MemoryTransport.h"

namespace {

using vek::io::SerialSettings;

TEST(SerialController, UnknownCommandIsAnsweredWithInvalidParameter) {
    Settings settings;
    SerialController controller(&settings);
    MemoryTransport command;
    command.pushInput(frame(0x06, {1, 2, 3}));  // a Serial Plim command, not ours
    command.pushInput(frame(kCmdSerialSetDtr));  // empty: succeeds without a port
    command.endInput();
    EXPECT_TRUE(commandLoop(command, controller));

    auto replies = parseMessages(command.output());
    ASSERT_EQ(replies.size(), 2u);
    ASSERT_EQ(replies[0].code, kMsgError);
    vek::err::ErrorRef record(replies[0].payload.data(), replies[0].payload.size());
    EXPECT_EQ(record.guid(), vek::err::kWinDomain);
    EXPECT_EQ(record.code(), vek::err::kWinInvalidParameter);
    EXPECT_EQ(replies[1].code, kMsgDone);
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
    EXPECT_EQ(std::vector<uint32_t>({line.baudRate, line.dataBits, line.stopBits, line.parity, line.flowControl}),
              std::vector<uint32_t>({115200, 7, 2, 3, 1}));
}

TEST(SerialCommandSettings, PayloadOverDefaults) {
    SerialSettings line;
    line.dtr = 0;  // must be replaced: the command starts from the defaults
    const uint8_t payload[] = {0x00, 0x10, 0x0E, 0x00, 5, 1, 4, 2, 0xEE};
    ASSERT_TRUE(commandSettings(payload, sizeof payload, &line));
    EXPECT_EQ(std::vector<uint32_t>({line.baudRate, line.dataBits, line.stopBits, line.parity, line.flowControl}),
              std::vector<uint32_t>({921600, 5, 1, 4, 2}));
    EXPECT_EQ(line.dtr + line.rts, 2);
    EXPECT_FALSE(commandSettings(payload, 7, &line));
}

}  // namespace
