#pragma once
// The EZ-USB's I2C master as its firmware sees it through I2CS, I2DAT and I2CTL,
// with the boot EEPROM on the bus.
//
// I2CS: START (bit 7) makes the next I2DAT write go out after a START condition;
// STOP (bit 6) ends the transfer after the byte in progress, or at once when the
// bus is idle, and reads 1 until the STOP condition is done; LASTRD (bit 5) makes
// the master leave the next byte it receives unacknowledged; ID (bits 4-3) tells
// which boot EEPROM the chip found; BERR (bit 2) tells that a START or STOP
// could not be made because SDA was held low (by the EEPROM, still sending after
// a byte the master acknowledged): the master gives up, no byte goes out, and
// BERR reads 1 until I2CS is written again; ACK (bit 1) and DONE (bit 0) tell
// how the last byte went. DONE
// clears when I2DAT is written or read. Writing I2DAT sends a byte; reading it
// gives the byte last received and, in a read, starts receiving the next one,
// unless the last was left unacknowledged or a STOP is pending. I2CTL bit 0
// selects 400 kHz over 100 kHz.
//
// Registers change only when the firmware looks (every access brings the master
// up to `now`), which is all a polling firmware can tell apart.

#include "EzUsbEeprom.h"

namespace qwsim {

class Fx2I2c {
public:
    static constexpr uint8_t kStart = 0x80, kStop = 0x40, kLastRead = 0x20, kBusError = 0x04, kAck = 0x02, kDone = 0x01;
    static constexpr uint8_t kIdOneByte = 0x08, kIdTwoByte = 0x10;
    static constexpr uint8_t k400kHz = 0x01;

    explicit Fx2I2c(EzUsbEeprom& eeprom) : eeprom_(eeprom) {}

    uint8_t readStatus(ChipTime now);
    void writeStatus(uint8_t value, ChipTime now);
    uint8_t readData(ChipTime now);
    void writeData(uint8_t value, ChipTime now);
    uint8_t control() const { return control_; }
    void setControl(uint8_t value) { control_ = value & k400kHz; }

private:
    static constexpr ChipTime kNone = -1;

    void sync(ChipTime now);
    // 2.5 or 10 us.
    ChipTime bitTime() const { return control_ & k400kHz ? 120 : 480; }

    EzUsbEeprom& eeprom_;
    uint8_t control_ = 0;
    uint8_t data_ = 0, incoming_ = 0;
    bool start_ = false, stop_ = false, lastRead_ = false, ack_ = false, done_ = false, incomingAck_ = false;
    bool busError_ = false;
    bool busOwned_ = false, receiving_ = false, readEnded_ = false;
    ChipTime byteEnd_ = kNone, stopEnd_ = kNone;
};

}  // namespace qwsim
