// The boot EEPROM as the chip's I2C master reaches it: addressing, page writes,
// the write cycle and sequential reads.
#include <gtest/gtest.h>

#include <vector>

#include "EzUsbEeprom.h"
#include "Fx2I2c.h"
#include "qwsim/Simulator.h"

namespace {

using qwsim::EzUsbEeprom;
using qwsim::Fx2I2c;
using Bytes = std::vector<uint8_t>;

constexpr qwsim::ChipTime kMs = 1000 * qwsim::kChipClocksPerUs;

EzUsbEeprom part(uint64_t size, uint64_t page, unsigned addressBytes) {
    EzUsbEeprom e;
    EXPECT_EQ(e.configure({size, page, addressBytes, 5000}), "");
    return e;
}

// START, the device address for writing, the address bytes, data, STOP at `now`;
// false at the first byte not acknowledged.
bool writeBus(EzUsbEeprom& e, uint8_t device, const Bytes& bytes, qwsim::ChipTime now) {
    bool ok = e.start(static_cast<uint8_t>(device << 1), now);
    for (size_t i = 0; ok && i < bytes.size(); ++i) ok = e.receive(bytes[i]);
    e.stop(now);
    return ok;
}

Bytes readBus(EzUsbEeprom& e, uint8_t device, size_t n, qwsim::ChipTime now) {
    Bytes out;
    if (!e.start(static_cast<uint8_t>(device << 1 | 1), now)) return out;
    while (n--) out.push_back(e.transmit(n > 0));  // the last left unacknowledged
    e.stop(now);
    return out;
}

TEST(EzUsbEeprom, TwoByteAddressingWritesAPageWrappingInsideIt) {
    EzUsbEeprom e = part(1024, 16, 2);
    // 0x0416 is 0x016 in a 1 KiB part; 12 bytes from there wrap to the page's start at 0x010.
    ASSERT_TRUE(writeBus(e, 0x51, {0x04, 0x16, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 0));
    EXPECT_EQ(Bytes(e.cells().begin() + 0x10, e.cells().begin() + 0x20),
              (Bytes{11, 12, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(e.cells()[0x20], 0xFF);
    // Busy for the write cycle: no acknowledge until it is over, to the clock.
    EXPECT_FALSE(writeBus(e, 0x51, {0x00, 0x00}, 5 * kMs - 1));
    EXPECT_TRUE(readBus(e, 0x51, 1, 5 * kMs - 1).empty());
    // The address counter continues after the last byte written, inside the page.
    EXPECT_EQ(readBus(e, 0x51, 5, 5 * kMs), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1}));
    // Sequential reads roll over at the part's end.
    ASSERT_TRUE(writeBus(e, 0x51, {0x03, 0xFE}, 5 * kMs));
    EXPECT_EQ(readBus(e, 0x51, 3, 5 * kMs), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_FALSE(writeBus(e, 0x50, {0x00}, 5 * kMs));  // its address is 0x51 only
}

TEST(EzUsbEeprom, OneByteAddressingTakesTheBlockFromTheDeviceAddress) {
    EzUsbEeprom e = part(1024, 8, 1);  // a 24C08: blocks 0-3 at 0x50-0x53
    ASSERT_TRUE(writeBus(e, 0x52, {0x10, 0xAA, 0xBB}, 0));
    EXPECT_EQ(e.cells()[0x210], 0xAA);
    EXPECT_EQ(e.cells()[0x211], 0xBB);
    EXPECT_FALSE(writeBus(e, 0x54, {0x00}, 10 * kMs));
    // A write without data is an address for the next read and starts no write cycle;
    // a repeated START drops data not yet stopped.
    EXPECT_TRUE(e.start(0x52 << 1, 10 * kMs) && e.receive(0x11) && e.receive(0x77));
    EXPECT_EQ(readBus(e, 0x52, 2, 10 * kMs), (Bytes{0xBB, 0xFF}));
    EzUsbEeprom small = part(256, 8, 1);
    EXPECT_FALSE(writeBus(small, 0x51, {0x00}, 0));
}

// The chip's I2C master driven as a firmware drives it, each byte waited out.
struct Master {
    explicit Master(EzUsbEeprom& e) : i2c(e) {}
    uint8_t settle() { return i2c.readStatus(now += kMs); }
    uint8_t start(uint8_t deviceByte) {
        i2c.writeStatus(Fx2I2c::kStart, now);
        i2c.writeData(deviceByte, now);
        return settle();
    }
    uint8_t send(uint8_t byte) {
        i2c.writeData(byte, now);
        return settle();
    }
    uint8_t stop() {
        i2c.writeStatus(Fx2I2c::kStop, now);
        return settle();
    }
    // A random read of n bytes from `address`; LASTRD before the last byte
    // unless `ackLast`, STOP with the last. I2CS once the STOP is through.
    std::pair<Bytes, uint8_t> read(uint16_t address, size_t n, bool ackLast) {
        Bytes out;
        if (!(start(0xA2) & Fx2I2c::kAck) || !(send(uint8_t(address >> 8)) & Fx2I2c::kAck) ||
            !(send(uint8_t(address)) & Fx2I2c::kAck) || !(start(0xA3) & Fx2I2c::kAck))
            return {out, stop()};
        if (n == 1 && !ackLast) i2c.writeStatus(Fx2I2c::kLastRead, now);
        i2c.readData(now);  // starts the first byte
        for (size_t i = 1; i <= n; ++i) {
            settle();
            if (i == n) i2c.writeStatus(Fx2I2c::kStop, now);
            if (i + 1 == n && !ackLast) i2c.writeStatus(Fx2I2c::kLastRead, now);
            out.push_back(i2c.readData(now));
        }
        return {out, settle()};
    }

    Fx2I2c i2c;
    qwsim::ChipTime now = 0;
};

// After a byte the master acknowledged the part sends on: the next byte's first
// bit is on SDA, and a 0 there keeps the master from any STOP or START, so the
// bus stays held and the master reports a bus error.
TEST(EzUsbEeprom, AReadMustLeaveItsLastByteUnacknowledged) {
    constexpr uint8_t kStopBits = Fx2I2c::kStop | Fx2I2c::kBusError;
    constexpr uint8_t kStartBits = Fx2I2c::kBusError | Fx2I2c::kAck | Fx2I2c::kDone;
    const std::tuple<const char*, uint8_t, bool, bool> cases[] = {  // case, next byte, last acknowledged, held
        {"last byte unacknowledged", 0x00, false, false},
        {"acknowledged, the next byte begins with 1: the STOP gets through", 0x80, true, false},
        {"acknowledged, the next byte begins with 0: the bus is held", 0x7F, true, true},
    };
    for (const auto& [what, next, ackLast, held] : cases) {
        EzUsbEeprom e = part(1024, 16, 2);
        const uint8_t cells[] = {0x11, 0x22, 0x33, next};
        e.write(0x10, cells, sizeof cells);
        Master m(e);
        auto [bytes, status] = m.read(0x10, 3, ackLast);
        EXPECT_EQ(bytes, (Bytes{0x11, 0x22, 0x33})) << what;
        EXPECT_EQ(status & kStopBits, held ? Fx2I2c::kBusError : 0) << what;
        EXPECT_EQ(e.holdsDataLine(), held) << what;
        // The next transfer: on a held bus neither its START nor a STOP can be made.
        EXPECT_EQ(m.start(0xA2) & kStartBits, held ? Fx2I2c::kBusError : Fx2I2c::kAck | Fx2I2c::kDone) << what;
        EXPECT_EQ(m.stop() & kStopBits, held ? Fx2I2c::kBusError : 0) << what;
        auto [again, after] = m.read(0x11, 1, false);
        EXPECT_EQ(std::make_pair(again, uint8_t(after & kStopBits)),
                  std::make_pair(held ? Bytes{} : Bytes{0x22}, held ? Fx2I2c::kBusError : uint8_t{0}))
            << what;
    }
}

TEST(EzUsbEeprom, RefusesShapesNoPartHas) {
    EzUsbEeprom e;
    EXPECT_EQ(e.configure({65536, 128, 2, 5000}), "");
    EXPECT_NE(e.configure({4096, 16, 1, 5000}), "");  // one address byte reaches 2 KiB
    EXPECT_NE(e.configure({1000, 16, 2, 5000}), "");
    EXPECT_NE(e.configure({1024, 2048, 2, 5000}), "");
    EXPECT_NE(e.configure({1024, 16, 3, 5000}), "");
    const char* const usage = "expected 'eeprom SIZE [page=N] [addressing=1|2] [write-time=US]'";
    const std::pair<const char*, std::string> lines[] = {  // statement, error
        {"eeprom 2K addressing=1 page=16 write-time=0", ""},
        {"eeprom 16K addressing=3", usage},
        {"eeprom 16K size=2", usage},
        {"eeprom 4K addressing=1", e.configure({4096, 16, 1, 5000})},
        {"firmware scripted", ""},
        {"firmware emulated now", "expected 'firmware emulated|scripted'"},
    };
    for (const auto& [statement, expected] : lines) {
        std::string error;
        bool ok = qwsim::checkScenario(std::string("device 1:2 model=ezusb\n") + statement, &error);
        EXPECT_EQ(error, expected.empty() ? "" : "line 2: " + expected) << statement;
        EXPECT_EQ(ok, expected.empty()) << statement;
    }
}

}  // namespace
