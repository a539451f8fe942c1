#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <tuple>

#include "Interfaces.h"
#include "PcapFile.h"
#include "PcapTransport.h"
#include "ScriptedCommands.h"
#include "foundation/Time.h"
#include "session/Message.h"
#include "support/MemoryTransport.h"

namespace {

uint64_t fakeTime = 0;
uint64_t fakeClock() { return fakeTime; }

// The calls of a dialog's arg lines, in their order.
std::vector<std::string> calls(const std::string& lines) {
    std::vector<std::string> out;
    std::regex arg(R"(arg \{number=(\d+)\}\{call=([^}]*)\})");
    for (auto it = std::sregex_iterator(lines.begin(), lines.end(), arg); it != std::sregex_iterator(); ++it) {
        EXPECT_EQ(std::stoul((*it)[1]), out.size());  // numbered from 0, none skipped
        out.push_back((*it)[2]);
    }
    return out;
}

const ExtcapInterface& named(const char* prefix) {
    for (const ExtcapInterface& i : extcapInterfaces())
        if (std::string(i.prefix) == prefix) return i;
    throw std::logic_error(prefix);
}

}  // namespace

TEST(ExtcapInterfaces, NamesCarryTheKindAndTheDeviceNumber) {
    const std::tuple<std::string, const char*, long> cases[] = {
        {"qwserialplim0", "qwserialplim", 0}, {"qwserialpro12", "qwserialpro", 12}, {"qwi2c3", "qwi2c", 3},
        {"qwspi3", "qwspi", 3},           {"qwethernet7", "qwethernet", 7},
        {"qwi2c", nullptr, -1},           {"qwi2c-1", nullptr, -1},  {"qwi2c+1", nullptr, -1},
        {"qwi2c1x", nullptr, -1},         {"qwserial0", nullptr, -1}, {"eth0", nullptr, -1}, {"", nullptr, -1},
    };
    for (const auto& [name, prefix, index] : cases) {
        long got = -1;
        const ExtcapInterface* iface = findInterface(name, &got);
        EXPECT_EQ(iface != nullptr, prefix != nullptr) << name;
        if (prefix) {
            ASSERT_NE(iface, nullptr) << name;
            EXPECT_STREQ(iface->prefix, prefix);
            EXPECT_EQ(got, index) << name;
        }
    }
}

TEST(ExtcapInterfaces, EachDialogOffersWhatTheCommandLineOffersForItsDeviceAndItsLinkType) {
    using V = std::vector<std::string>;
    const std::tuple<const char*, V, const char*> cases[] = {  // interface, the dialog's calls, its link type
        {"qwserialplim", {"--index", "--baud", "--data-bits", "--stop-bits", "--parity"}, "{number=147}{name=USER0}"},
        {"qwserialpro", {"--index", "--firmware", "--baud", "--data-bits", "--stop-bits", "--parity", "--dtr", "--rts",
                         "--device-time"}, "{number=147}{name=USER0}"},
        {"qwi2c", {"--index", "--firmware", "--i2c-messages"}, "{number=209}{name=I2C_LINUX}"},
        {"qwspi", {"--index", "--firmware", "--spi-mode", "--spi-data", "--spi-little-endian"}, "{number=147}{name=USER0}"},
        {"qwethernet", {"--index", "--firmware"}, "{number=1}{name=EN10MB}"},
    };
    for (const auto& [prefix, expected, link] : cases) {
        std::string lines = configLines(named(prefix), 4);
        EXPECT_EQ(calls(lines), expected) << prefix;
        EXPECT_NE(lines.find("{default=4}"), std::string::npos) << prefix;  // the interface's own device
        EXPECT_NE(dltLines(named(prefix)).find(link), std::string::npos) << prefix;
    }
    EXPECT_NE(configLines(named("qwspi"), 0).find("value {arg=3}{value=8}{display=8}{default=true}"), std::string::npos);
    EXPECT_NE(configLines(named("qwserialplim"), 0).find("value {arg=4}{value=even}{display=even}{default=false}"),
              std::string::npos);
}

TEST(ExtcapInterfaces, TheDialogsOptionsBecomeTheProgramsSwitches) {
    using V = std::vector<std::string>;
    using M = std::map<std::string, std::string>;
    const std::tuple<const char*, long, M, V> cases[] = {
        {"qwserialpro", 2,
         M{{"--baud", "115200"}, {"--data-bits", "7"}, {"--stop-bits", "2"}, {"--parity", "odd"}, {"--dtr", "0"},
           {"--rts", "1"}, {"--device-time", ""}},
         V{"quenwick-extcap", "--serial-plim-pro", "--index=2", "--ser-baud=115200", "--ser-data=7", "--ser-stop=2",
           "--ser-parity=odd", "--ser-dtr=0", "--ser-rts=1", "--stdout"}},
        // The dialog's index wins over the interface's number; options left empty are not given.
        {"qwspi", 0, M{{"--index", "3"}, {"--spi-mode", "2"}, {"--spi-data", ""}, {"--spi-little-endian", ""}},
         V{"quenwick-extcap", "--spi-plim", "--index=3", "--spi-mode=2", "--spi-little-endian=1", "--stdout"}},
        {"qwi2c", 1, M{}, V{"quenwick-extcap", "--i2c-plim", "--index=1", "--stdout"}},
    };
    for (const auto& [prefix, index, options, expected] : cases)
        EXPECT_EQ(commandLine(named(prefix), index, options), expected) << prefix;
}

TEST(PcapTransport, StampsEachMessageWithTheTimeItIsWritten) {
    MemoryTransport fifo;
    PcapTransport out(fifo, DeviceFamily::kSpi, PcapConverter::Form::kNative, &fakeClock);
    ASSERT_TRUE(out.begin());
    fakeTime = vek::sys::kUnixEpochTicks + 3 * vek::sys::kTicksPerSecond;
    ASSERT_TRUE(writeMessage(out, 0x14, nullptr, 0));
    // A message in two writes becomes one record, at the time it is whole.
    const uint8_t message[] = {2, 0x16, 2, 0, 0x31, 0x42};
    ASSERT_EQ(out.write(message, 3), 3u);
    fakeTime += 7;
    ASSERT_EQ(out.write(message + 3, 3), 3u);
    ASSERT_TRUE(out.finish());

    Bytes expected;
    pcap::appendGlobalHeader(expected, pcap::kLinkUser0);
    pcap::appendRecord(expected, vek::sys::kUnixEpochTicks + 3 * vek::sys::kTicksPerSecond, {Bytes{4, 2, 0x14, 0, 0}});
    pcap::appendRecord(expected, fakeTime, {Bytes{4}, Bytes(message, message + 6)});
    EXPECT_EQ(fifo.output(), expected);
}

TEST(PcapTransport, AFifoThatFailsFailsTheWrite) {
    MemoryTransport fifo;
    PcapTransport out(fifo, DeviceFamily::kSerialPlim, PcapConverter::Form::kNative, &fakeClock);
    ASSERT_TRUE(out.begin());
    fifo.failWritesAfter(pcap::kGlobalHeaderSize + 10);
    const uint8_t message[] = {2, 0x02, 1, 0, 'x'};
    EXPECT_EQ(out.write(message, 3), 3u);  // nothing whole yet: nothing to write
    EXPECT_EQ(out.write(message + 3, 2), kIoFailed);
    EXPECT_EQ(vek::err::getLastError().code(), 232u);  // the fifo's own error
    uint8_t buffer[4];
    EXPECT_EQ(out.read(buffer, sizeof buffer), kIoFailed);
}

TEST(ScriptedCommands, GivesItsCommandsThenWaitsForTheClose) {
    ScriptedCommands commands({2, 0x36, 1, 0, 1, 2, 0x34, 0, 0});
    uint8_t buffer[1024];
    ASSERT_EQ(commands.read(buffer, 4), 4u);  // a small read takes part
    ASSERT_EQ(commands.read(buffer + 4, sizeof buffer - 4), 5u);
    EXPECT_EQ(Bytes(buffer, buffer + 9), (Bytes{2, 0x36, 1, 0, 1, 2, 0x34, 0, 0}));
    EXPECT_EQ(commands.write(buffer, 4), 4u);  // a reply, dropped
    std::thread closer([&] { commands.close(); });
    EXPECT_EQ(commands.read(buffer, sizeof buffer), 0u);  // blocks until closed: the end of the input
    closer.join();
    EXPECT_EQ(commands.read(buffer, sizeof buffer), 0u);
}
