#include "FpgaModel.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Engine.h"
#include "FpgaEthernet.h"
#include "Scenario.h"

namespace qwsim {

namespace {

enum Request : uint8_t { kVersion = 0x50, kStatus = 0x51, kErase = 0x52, kWriteBlock = 0x53, kStartFirmware = 0x54 };
constexpr uint16_t kBusyBits = 0x1400;
constexpr uint8_t kErased = 0xFF;
constexpr size_t kWordSize = 4;
constexpr uint16_t kReplySize = 4;     // version and status
constexpr uint16_t kMaxBlockSize = 64;

// Why the device would stall an uploader request whose fields are not the ones
// its firmware takes; empty when they are. The wIndex of a block is its address,
// checked against the flash when the block is written.
std::string malformed(const ControlSetup& s) {
    bool in = s.request == kVersion || s.request == kStatus;
    uint8_t type = in ? kVendorIn : kVendorOut;
    if (s.requestType != type) return "type " + hex8(s.requestType) + ", expected " + hex8(type);
    if (s.request == kWriteBlock) {
        if (s.length > kMaxBlockSize) return "len " + std::to_string(s.length) + ", at most 64";
        unsigned words = s.length / kWordSize;  // a trailing piece of a word is not counted
        if (s.value != words) return "value " + hex16(s.value) + ", expected " + hex16(words);
        return {};
    }
    if (s.value != 0) return "value " + hex16(s.value) + ", expected 0x0000";
    if (s.index != 0) return "index " + hex16(s.index) + ", expected 0x0000";
    unsigned length = in ? kReplySize : 0;
    if (s.length != length) return "len " + std::to_string(s.length) + ", expected " + std::to_string(length);
    return {};
}

bool isDataStatement(const std::string& k) {
    return k == "bytes" || k == "text" || k == "pattern" || k == "file" || k == "chunk" || k == "rate" || k == "then";
}

}  // namespace

FpgaModel::FpgaModel() {
    stream_.addEndpoint(EndpointInfo{kDataEndpoint, kBulk, 512});
}

void FpgaModel::setIdentity(uint16_t vid, uint16_t pid) {
    if (vid == FpgaSerialPro::kVid && pid == FpgaSerialPro::kPid) serialPro_ = std::make_unique<FpgaSerialPro>(stream_);
}

std::vector<EndpointInfo> FpgaModel::endpoints() const {
    return {EndpointInfo{kDataEndpoint, kBulk, 512}, EndpointInfo{kCommandEndpoint, kBulk, 512}};
}

std::string FpgaModel::configure(const Statement& st, int endpoint) {
    const std::string& k = st.words[0];
    size_t n = st.words.size();
    if (isDataStatement(k) || isEthernetStatement(k)) {
        // The device has one IN endpoint, so its data needs no endpoint line.
        if (endpoint >= 0 && endpoint != kDataEndpoint) return "'" + k + "' belongs to endpoint 0x86";
        if (isEthernetStatement(k)) return configureEthernet(st, stream_, kDataEndpoint);
        return stream_.configure(st, kDataEndpoint);
    }
    if (k == "version") {
        unsigned v[4];
        char end = 0;
        if (n != 2 || std::sscanf(st.words[1].c_str(), "%u.%u.%u.%u%c", &v[0], &v[1], &v[2], &v[3], &end) != 4 ||
            std::max({v[0], v[1], v[2], v[3]}) > 0xFF)
            return "expected 'version A.B.C.D' with numbers up to 255";
        for (int i = 0; i < 4; ++i) version_[i] = static_cast<uint8_t>(v[i]);
        return {};
    }
    if (k == "busy") {
        if (n != 2 || !parseNumber(st.words[1], &busyPolls_)) return "expected 'busy POLLS'";
        return {};
    }
    if (k == "dump") {
        if (n != 2) return "expected 'dump FILE'";
        dumpPath_ = scenarioPath(st, st.words[1]);
        return {};
    }
    if (k == "error") return configureError(st);
    if (k == "flash") return configureFlash(st);
    if (k == "capture") return configureCapture(st);
    if (serialPro_) return serialPro_->configure(st);
    return "unknown statement '" + k + "'";
}

std::string FpgaModel::configureError(const Statement& st) {
    const char* usage = "expected 'error BITS at open|erase|start|block N'";
    size_t n = st.words.size();
    uint64_t bits = 0;
    if (n < 4 || !parseNumber(st.words[1], &bits) || bits == 0 || bits > 0xFFFF || st.words[2] != "at") return usage;
    StatusError e{Step::Open, 0, static_cast<uint16_t>(bits)};
    const std::string& where = st.words[3];
    if (where == "block") {
        if (n != 5 || !parseNumber(st.words[4], &e.block) || e.block == 0) return usage;
        e.step = Step::Block;
    } else if (n != 4) {
        return usage;
    } else if (where == "open" || where == "erase" || where == "start") {
        e.step = where == "open" ? Step::Open : where == "erase" ? Step::Erase : Step::Start;
    } else {
        return usage;
    }
    errors_.push_back(e);
    return {};
}

std::string FpgaModel::configureFlash(const Statement& st) {
    uint64_t size = 0, fill = 0;
    auto fillWord = option(st, "fill", 2);
    if (st.words.size() < 2 || st.words.size() > 3 || !parseNumber(st.words[1], &size) || size == 0 ||
        size > (uint64_t{64} << 20) || (st.words.size() == 3 && (!fillWord || !parseNumber(*fillWord, &fill))) ||
        fill > 0xFF)
        return "expected 'flash SIZE [fill=BYTE]' with a size from 1 byte to 64M";
    flashSize_ = static_cast<size_t>(size);
    flashFill_ = static_cast<uint8_t>(fill);
    return {};
}

std::string FpgaModel::configureCapture(const Statement& st) {
    size_t n = st.words.size();
    if (n < 3 || (st.words[1] != "on" && st.words[1] != "off")) return "expected 'capture on|off HEX...'";
    std::vector<uint8_t> bytes;
    for (size_t i = 2; i < n; ++i)
        if (!parseHexBytes(st.words[i], &bytes)) return "bad hex bytes '" + st.words[i] + "'";
    (st.words[1] == "on" ? captureOn_ : captureOff_) = std::move(bytes);
    return {};
}

void FpgaModel::opened() {
    // Made at the first open, so a scenario that is only checked costs no memory.
    if (flash_.empty()) flash_.assign(flashSize_, flashFill_);
    capture_ = false;
    if (serialPro_) serialPro_->opened();
    stepDone(Step::Open);
}

void FpgaModel::closed() {
    capture_ = false;
    if (dumpPath_.empty()) return;
    if (FILE* f = std::fopen(dumpPath_.c_str(), "wb")) {
        std::fwrite(flash_.data(), 1, flash_.size(), f);
        std::fclose(f);
    }
}

void FpgaModel::stepDone(Step step, uint64_t block) {
    busyLeft_ = busyPolls_;
    for (const StatusError& e : errors_)
        if (e.step == step && (step != Step::Block || e.block == block)) errorBits_ |= e.bits;
}

int FpgaModel::statusReply(uint8_t* data) {
    uint16_t status = errorBits_;
    if (busyLeft_ > 0) {
        --busyLeft_;
        status |= kBusyBits;
    }
    const uint8_t reply[kReplySize] = {static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8), 0, 0};
    std::memcpy(data, reply, sizeof reply);
    return sizeof reply;
}

int FpgaModel::writeBlock(const ControlSetup& setup, const uint8_t* data) {
    size_t at = size_t{setup.index} * kWordSize;
    if (at + setup.length > flash_.size()) return refuse(setup, "block past the flash's end");
    // Flash bits only go from 1 to 0 when written; an erase sets them all.
    for (size_t i = 0; i < setup.length; ++i) flash_[at + i] &= data[i];
    stepDone(Step::Block, ++blocksWritten_);
    return setup.length;
}

int FpgaModel::refuse(const ControlSetup& setup, const std::string& why) {
    Engine::get().record("fpga refused req=" + hex8(setup.request) + ": " + why);
    return LIBUSB_ERROR_PIPE;
}

int FpgaModel::control(const ControlSetup& setup, uint8_t* data, SimTime) {
    if (serialPro_ && serialPro_->isRegisterRequest(setup)) return serialPro_->control(setup, data);
    if (setup.request < kVersion || setup.request > kStartFirmware) return refuse(setup, "not a request of the device");
    if (std::string why = malformed(setup); !why.empty()) return refuse(setup, why);
    switch (setup.request) {
        case kVersion:
            std::memcpy(data, version_, sizeof version_);
            return sizeof version_;
        case kStatus: return statusReply(data);
        case kErase:
            std::fill(flash_.begin(), flash_.end(), kErased);
            errorBits_ = 0;
            blocksWritten_ = 0;
            stepDone(Step::Erase);
            return setup.length;
        case kWriteBlock: return writeBlock(setup, data);
        case kStartFirmware:
            stepDone(Step::Start);
            return setup.length;
    }
    return LIBUSB_ERROR_PIPE;
}

int FpgaModel::writeOut(uint8_t endpoint, const uint8_t* data, size_t length, SimTime) {
    if (endpoint != kCommandEndpoint) return LIBUSB_ERROR_PIPE;
    if (serialPro_) return static_cast<int>(length);  // bytes the device sends on its line
    for (size_t i = 0; i < length; ++i) {
        if (std::find(captureOn_.begin(), captureOn_.end(), data[i]) != captureOn_.end()) capture_ = true;
        if (std::find(captureOff_.begin(), captureOff_.end(), data[i]) != captureOff_.end()) capture_ = false;
    }
    return static_cast<int>(length);
}

void FpgaModel::readRequested(uint8_t endpoint, SimTime now) {
    bool on = serialPro_ ? serialPro_->capturing() : capture_;
    if (endpoint == kDataEndpoint && on) stream_.readRequested(endpoint, now);
}

InData FpgaModel::readIn(uint8_t endpoint, uint8_t* buffer, size_t room, SimTime now) {
    // While capture is off the device has nothing to say: reads wait (and time out).
    bool on = serialPro_ ? serialPro_->capturing() : capture_;
    if (endpoint != kDataEndpoint || !on) return InData{};
    return stream_.readIn(endpoint, buffer, room, now);
}

}  // namespace qwsim
