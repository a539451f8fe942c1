#include "Fx2I2c.h"

namespace qwsim {

namespace {

constexpr ChipTime kBitsPerByte = 9;  // eight data bits and the acknowledge

}  // namespace

void Fx2I2c::sync(ChipTime now) {
    if (byteEnd_ != kNone && now >= byteEnd_) {
        data_ = incoming_;
        ack_ = incomingAck_;
        done_ = true;
        if (stop_) stopEnd_ = byteEnd_ + bitTime();
        byteEnd_ = kNone;
    }
    if (stopEnd_ != kNone && now >= stopEnd_) {
        if (eeprom_.holdsDataLine())
            busError_ = true;
        else
            eeprom_.stop(stopEnd_);
        stop_ = busOwned_ = receiving_ = readEnded_ = false;
        stopEnd_ = kNone;
    }
}

uint8_t Fx2I2c::readStatus(ChipTime now) {
    sync(now);
    uint8_t id = eeprom_.shape().addressBytes == 1 ? kIdOneByte : kIdTwoByte;
    return static_cast<uint8_t>((start_ ? kStart : 0) | (stop_ ? kStop : 0) | (lastRead_ ? kLastRead : 0) | id |
                                (busError_ ? kBusError : 0) | (ack_ ? kAck : 0) | (done_ ? kDone : 0));
}

void Fx2I2c::writeStatus(uint8_t value, ChipTime now) {
    sync(now);
    busError_ = false;
    if (value & kStart) start_ = true;
    lastRead_ = (value & kLastRead) != 0;
    if ((value & kStop) && !stop_) {
        stop_ = true;
        if (byteEnd_ == kNone) stopEnd_ = now + bitTime();
    }
}

void Fx2I2c::writeData(uint8_t value, ChipTime now) {
    sync(now);
    if (byteEnd_ != kNone || stop_) return;  // the bus is busy: the byte is lost
    done_ = false;
    ChipTime duration = kBitsPerByte * bitTime();
    if (start_) {
        start_ = false;
        if (eeprom_.holdsDataLine()) {
            busError_ = true;
            busOwned_ = receiving_ = ack_ = false;
            return;
        }
        busOwned_ = true;
        duration += bitTime();
        incomingAck_ = eeprom_.start(value, now);
        receiving_ = incomingAck_ && (value & 1);
        readEnded_ = false;
    } else {
        incomingAck_ = busOwned_ && !receiving_ && eeprom_.receive(value);
    }
    incoming_ = value;
    byteEnd_ = now + duration;
}

uint8_t Fx2I2c::readData(ChipTime now) {
    sync(now);
    uint8_t value = data_;
    if (byteEnd_ != kNone) return value;
    done_ = false;
    if (receiving_ && !readEnded_ && !stop_) {
        incomingAck_ = !lastRead_;  // the master's acknowledge
        readEnded_ = lastRead_;
        incoming_ = eeprom_.transmit(incomingAck_);
        byteEnd_ = now + kBitsPerByte * bitTime();
    }
    return value;
}

}  // namespace qwsim
