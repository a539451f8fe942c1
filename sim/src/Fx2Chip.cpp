#include "Fx2Chip.h"

#include <libusb.h>

#include <algorithm>
#include <string>

#include "Engine.h"

namespace qwsim {

namespace {

constexpr uint8_t kMpage = 0x92;  // the SFR that gives MOVX @Ri its high address byte

constexpr uint16_t kCpucs = 0xE600, kUsbIrq = 0xE65D, kI2cs = 0xE678, kI2dat = 0xE679, kI2ctl = 0xE67A,
                   kEp0Bch = 0xE68A, kEp0Bcl = 0xE68B, kEp0Cs = 0xE6A0, kSetupDat = 0xE6B8, kEp0Buf = 0xE740;
constexpr uint16_t kRegisterPage = 0xE600, kRegisterPageMask = 0xFE00;  // 0xE600-0xE7FF

constexpr uint8_t kSudav = 0x01, kSutok = 0x04, kEp0Ack = 0x40;
constexpr uint8_t kHsnak = 0x80, kBusy = 0x02, kStall = 0x01;
constexpr uint8_t kClockSpeed = 0x18, kFirmwareCpucsBits = 0x1E;  // bit 0, the reset, is the host's

constexpr size_t kEp0Packet = 64;
constexpr ChipTime kPacketTime = 10 * kChipClocksPerUs;  // a packet's way between host and buffer
constexpr uint64_t kSlice = 4096;  // cycles between checks of the time limits

}  // namespace

Fx2Chip::Fx2Chip(std::vector<uint8_t>& ram, EzUsbEeprom& eeprom, ChipTime& clock)
    : ram_(ram), clock_(clock), core_(ram.data(), *this, kMpage), i2c_(eeprom), base_(clock) {
    setClock(ram_[kCpucs]);
}

int Fx2Chip::control(const ControlSetup& setup, uint8_t* data) {
    deliverSetup(setup, data);
    ChipTime deadline = now() + kAnswerTimeUs * kChipClocksPerUs;
    lastAccess_ = core_.cycles();
    while (request_.result == kPending) {
        Mcs51::Stop stop = core_.run(kSlice);
        sync();
        if (request_.result != kPending) break;
        if (stop == Mcs51::Stop::Undefined)
            fail("firmware runaway: undefined opcode 0xa5 at pc=" + hex16(core_.pc()));
        else if (core_.cycles() - lastAccess_ >= kRunawayCycles)
            fail("firmware runaway: no register access in " + std::to_string(kRunawayCycles) +
                 " cycles, pc=" + hex16(core_.pc()));
        else if (now() >= deadline)
            fail("firmware timeout: request " + hex8(setup.request) + " not completed in " +
                 std::to_string(kAnswerTimeUs) + " us, pc=" + hex16(core_.pc()));
    }
    request_.data = nullptr;  // the host's buffer goes with the request
    packetEnd_ = -1;
    clock_ = now();
    return request_.result;
}

// A SETUP ends whatever endpoint 0 was doing: its data lands in SETUPDAT, the
// buffer goes back to the firmware, the status stage is held and a stall cleared.
void Fx2Chip::deliverSetup(const ControlSetup& setup, uint8_t* data) {
    uint8_t* s = &ram_[kSetupDat];
    s[0] = setup.requestType;
    s[1] = setup.request;
    s[2] = static_cast<uint8_t>(setup.value);
    s[3] = static_cast<uint8_t>(setup.value >> 8);
    s[4] = static_cast<uint8_t>(setup.index);
    s[5] = static_cast<uint8_t>(setup.index >> 8);
    s[6] = static_cast<uint8_t>(setup.length);
    s[7] = static_cast<uint8_t>(setup.length >> 8);
    usbIrq_ |= kSudav | kSutok;
    handshakeHeld_ = true;
    busy_ = stall_ = false;
    packetEnd_ = -1;
    request_ = Request{setup, data, 0, setup.length == 0, kPending};
}

uint8_t Fx2Chip::readXdata(uint16_t address) {
    if ((address & kRegisterPageMask) != kRegisterPage) return ram_[address];
    lastAccess_ = core_.cycles();
    return readRegister(address);
}

void Fx2Chip::writeXdata(uint16_t address, uint8_t value) {
    if ((address & kRegisterPageMask) != kRegisterPage) {
        ram_[address] = value;
        return;
    }
    lastAccess_ = core_.cycles();
    writeRegister(address, value);
}

uint8_t Fx2Chip::readRegister(uint16_t address) {
    sync();
    switch (address) {
        case kUsbIrq: return usbIrq_;
        case kI2cs: return i2c_.readStatus(now());
        case kI2dat: return i2c_.readData(now());
        case kI2ctl: return i2c_.control();
        case kEp0Cs: return static_cast<uint8_t>((handshakeHeld_ ? kHsnak : 0) | (busy_ ? kBusy : 0) | (stall_ ? kStall : 0));
        default: return ram_[address];
    }
}

void Fx2Chip::writeRegister(uint16_t address, uint8_t value) {
    sync();
    switch (address) {
        case kCpucs:
            ram_[kCpucs] = static_cast<uint8_t>((ram_[kCpucs] & ~kFirmwareCpucsBits) | (value & kFirmwareCpucsBits));
            setClock(ram_[kCpucs]);
            break;
        case kUsbIrq: usbIrq_ = static_cast<uint8_t>(usbIrq_ & ~value); break;
        case kI2cs: i2c_.writeStatus(value, now()); break;
        case kI2dat: i2c_.writeData(value, now()); break;
        case kI2ctl: i2c_.setControl(value); break;
        case kEp0Bcl: arm(value); break;
        case kEp0Cs:
            if (value & kHsnak) handshakeHeld_ = false;
            stall_ = (value & kStall) != 0;
            settle();
            break;
        default:
            if (address < kSetupDat || address >= kSetupDat + 8) ram_[address] = value;
            break;
    }
}

// 12, 24 or 48 MHz, four clocks a cycle; time so far stays as it was counted.
void Fx2Chip::setClock(uint8_t cpucs) {
    base_ = now();
    baseCycles_ = core_.cycles();
    static constexpr ChipTime kClocksPerCycle[] = {16, 8, 4, 4};
    clocksPerCycle_ = kClocksPerCycle[(cpucs & kClockSpeed) >> 3];
}

// EP0BCL written: the buffer is the USB side's until a packet has moved, IN with
// EP0BCH:EP0BCL bytes of it, OUT with the host's next packet. When the host has
// no packet to move the buffer stays busy, as on the chip.
void Fx2Chip::arm(uint8_t count) {
    ram_[kEp0Bcl] = count;
    busy_ = true;
    if (request_.result != kPending || request_.dataDone) return;
    bool in = (request_.setup.requestType & LIBUSB_ENDPOINT_IN) != 0;
    size_t wanted = in ? size_t{ram_[kEp0Bch]} << 8 | count : request_.setup.length - request_.moved;
    packetBytes_ = std::min(wanted, kEp0Packet);
    packetEnd_ = now() + kPacketTime;
}

void Fx2Chip::sync() {
    if (packetEnd_ >= 0 && now() >= packetEnd_) movePacket();
}

void Fx2Chip::movePacket() {
    packetEnd_ = -1;
    busy_ = false;
    size_t n = packetBytes_;
    uint8_t* buffer = &ram_[kEp0Buf];
    uint8_t* host = request_.data + request_.moved;
    if (request_.setup.requestType & LIBUSB_ENDPOINT_IN) {
        if (request_.moved + n > request_.setup.length) return finish(LIBUSB_ERROR_OVERFLOW);  // babble
        std::copy(buffer, buffer + n, host);
        request_.moved += n;
        request_.dataDone = n < kEp0Packet || request_.moved == request_.setup.length;
    } else {
        std::copy(host, host + n, buffer);
        ram_[kEp0Bch] = 0;
        ram_[kEp0Bcl] = static_cast<uint8_t>(n);
        request_.moved += n;
        request_.dataDone = request_.moved == request_.setup.length;
    }
    settle();
}

// A stall ends the request at its next stage; a released handshake after the
// whole data stage completes it.
void Fx2Chip::settle() {
    if (request_.result != kPending) return;
    if (stall_) {
        finish(LIBUSB_ERROR_PIPE);
    } else if (!handshakeHeld_ && request_.dataDone) {
        usbIrq_ |= kEp0Ack;
        finish(static_cast<int>(request_.moved));
    }
}

void Fx2Chip::finish(int result) {
    request_.result = result;
    core_.requestStop();
}

void Fx2Chip::fail(const std::string& why) {
    Engine::get().record(why);
    request_.result = LIBUSB_ERROR_TIMEOUT;
}

}  // namespace qwsim
