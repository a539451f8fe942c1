#include "FpgaSerialPro.h"

#include <libusb.h>

#include <string_view>

#include "Engine.h"
#include "GenericModel.h"
#include "Scenario.h"

namespace qwsim {

namespace {

constexpr uint8_t kDataEndpoint = 0x86;
constexpr uint8_t kReadRegister = 0x58;
constexpr uint8_t kWriteRegister = 0x59;
constexpr uint16_t kValueSize = 2;
constexpr uint16_t kControlRegister = 4;
constexpr uint16_t kCaptureEnable = 0x0001;

// Record types.
constexpr uint8_t kEnd = 0;
constexpr uint8_t kData0 = 3;
constexpr uint8_t kData1 = 4;
constexpr uint8_t kLineState = 5;
constexpr uint8_t kStatus = 13;
constexpr uint8_t kUnusedByte = 0;  // the second byte of a data record

constexpr std::string_view kDeltaKey = "delta=";
constexpr std::string_view kTextKey = "text=";

bool isDeltaWord(const std::string& w) { return w.rfind(kDeltaKey, 0) == 0; }

// The `delta=US` word of a statement, if any (0 without one).
bool deltaOf(const Statement& st, uint64_t* delta) {
    *delta = 0;
    for (const std::string& w : st.words)
        if (isDeltaWord(w)) return parseNumber(w.substr(kDeltaKey.size()), delta);
    return true;
}

bool parseByte(const std::string& word, uint8_t* out) {
    uint64_t v = 0;
    if (!parseNumber(word, &v) || v > 0xFF) return false;
    *out = static_cast<uint8_t>(v);
    return true;
}

}  // namespace

bool FpgaSerialPro::isRegisterRequest(const ControlSetup& setup) const {
    return (setup.requestType == kVendorIn && setup.request == kReadRegister) ||
           (setup.requestType == kVendorOut && setup.request == kWriteRegister);
}

int FpgaSerialPro::control(const ControlSetup& setup, uint8_t* data) {
    if (setup.index >= kRegisterCount || setup.length != kValueSize) return LIBUSB_ERROR_PIPE;
    uint16_t& reg = registers_[setup.index];
    if (setup.request == kReadRegister) {
        data[0] = static_cast<uint8_t>(reg >> 8);
        data[1] = static_cast<uint8_t>(reg);
    } else {
        reg = static_cast<uint16_t>(data[0] << 8 | data[1]);
    }
    return kValueSize;
}

bool FpgaSerialPro::capturing() const { return (registers_[kControlRegister] & kCaptureEnable) != 0; }

void FpgaSerialPro::opened() { registers_[kControlRegister] = 0; }

std::string FpgaSerialPro::configure(const Statement& st) {
    const std::string& k = st.words[0];
    if (k == "register") return configureRegister(st);
    if (k == "rx") return configureRx(st);
    if (k == "line-state") return configureRecord(st, kLineState, "expected 'line-state BYTE [delta=US]'");
    if (k == "device-status") return configureRecord(st, kStatus, "expected 'device-status BYTE [delta=US]'");
    if (k == "event") return configureRecord(st, 0, "expected 'event TYPE [delta=US]' with a type of no further bytes");
    if (k == "end-packet") {
        if (st.words.size() != 1) return "expected 'end-packet'";
        std::vector<uint8_t> zeros;
        endPacket(&zeros);
        return emit(zeros);
    }
    return "unknown statement '" + k + "'";
}

std::string FpgaSerialPro::configureRegister(const Statement& st) {
    uint64_t n = 0, value = 0;
    // The registers the device itself sets: its status and the line state.
    if (st.words.size() != 3 || !parseNumber(st.words[1], &n) || (n != 3 && n != 15) ||
        !parseNumber(st.words[2], &value) || value > 0xFFFF)
        return "expected 'register 3|15 VALUE' with a 16-bit value";
    registers_[n] = static_cast<uint16_t>(value);
    return {};
}

std::string FpgaSerialPro::configureRx(const Statement& st) {
    const char* usage = "expected 'rx 0|1 HEX...|text=WORDS... [delta=US]'";
    uint64_t delta = 0;
    if (st.words.size() < 3 || (st.words[1] != "0" && st.words[1] != "1") || !deltaOf(st, &delta)) return usage;
    std::vector<uint8_t> bytes;
    for (size_t i = 2; i < st.words.size(); ++i) {
        const std::string& w = st.words[i];
        if (isDeltaWord(w)) continue;
        if (w.rfind(kTextKey, 0) == 0)
            bytes.insert(bytes.end(), w.begin() + static_cast<ptrdiff_t>(kTextKey.size()), w.end());
        else if (!parseHexBytes(w, &bytes))
            return "bad hex bytes '" + w + "'";
    }
    if (bytes.empty()) return usage;
    uint8_t type = st.words[1] == "0" ? kData0 : kData1;
    std::vector<uint8_t> out;
    for (uint8_t b : bytes) {
        const uint8_t args[2] = {b, kUnusedByte};
        addRecord(type, delta, args, 2, &out);
    }
    return emit(out);
}

std::string FpgaSerialPro::configureRecord(const Statement& st, uint8_t type, const char* usage) {
    uint64_t delta = 0;
    uint8_t value = 0;
    std::vector<std::string> words;
    for (const std::string& w : st.words)
        if (!isDeltaWord(w)) words.push_back(w);
    if (words.size() != 2 || !parseByte(words[1], &value) || !deltaOf(st, &delta)) return usage;
    std::vector<uint8_t> out;
    if (type == 0) {
        // Types with further bytes have statements of their own.
        if (value == kEnd || value == kData0 || value == kData1 || value == kLineState || value == kStatus)
            return usage;
        addRecord(value, delta, nullptr, 0, &out);
    } else {
        addRecord(type, delta, &value, 1, &out);
    }
    return emit(out);
}

void FpgaSerialPro::addRecord(uint8_t type, uint64_t delta, const uint8_t* args, size_t argCount,
                              std::vector<uint8_t>* out) {
    uint8_t record[1 + 10 + 2];
    size_t n = 0;
    record[n++] = type;
    do {
        uint8_t group = delta & 0x7F;
        delta >>= 7;
        record[n++] = static_cast<uint8_t>(group | (delta ? 0x80 : 0));
    } while (delta);
    for (size_t i = 0; i < argCount; ++i) record[n++] = args[i];
    if (packetUsed_ + n > kPacketSize) endPacket(out);
    out->insert(out->end(), record, record + n);
    packetUsed_ = (packetUsed_ + n) % kPacketSize;
}

void FpgaSerialPro::endPacket(std::vector<uint8_t>* out) {
    if (packetUsed_ == 0) return;
    out->insert(out->end(), kPacketSize - packetUsed_, kEnd);
    packetUsed_ = 0;
}

std::string FpgaSerialPro::emit(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return {};
    Statement st;
    st.words = {"bytes", hexBytes(bytes.data(), bytes.size())};
    return stream_.configure(st, kDataEndpoint);
}

}  // namespace qwsim
