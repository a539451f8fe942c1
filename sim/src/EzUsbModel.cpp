#include "EzUsbModel.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "Fx2Chip.h"
#include "Scenario.h"

namespace qwsim {

namespace {

constexpr uint8_t kReqRam = 0xA0;
constexpr uint8_t kReqEeprom = 0xA2;
constexpr uint16_t kCpuControl = 0xE600;
constexpr uint8_t kCpuReset = 0x01;

// What firmware/loader.c does with request 0xA2: at most 4096 bytes; writes in
// pieces that never cross one of its 32-byte pages, each one write cycle.
class LoaderStandIn final : public EzUsbModel::Firmware {
public:
    explicit LoaderStandIn(EzUsbEeprom& eeprom) : eeprom_(eeprom) {}

    int control(const ControlSetup& setup, uint8_t* data) override {
        if (setup.request != kReqEeprom || setup.length > kMaxLength) return LIBUSB_ERROR_PIPE;
        if (setup.requestType == kVendorIn) {
            eeprom_.read(setup.value, data, setup.length);
            return setup.length;
        }
        if (setup.requestType != kVendorOut) return LIBUSB_ERROR_PIPE;
        uint16_t at = setup.value;
        for (size_t done = 0; done < setup.length;) {
            size_t piece = std::min<size_t>(kPage - at % kPage, setup.length - done);
            eeprom_.write(at, data + done, piece);
            done += piece;
            at = static_cast<uint16_t>(at + piece);
        }
        return setup.length;
    }

private:
    static constexpr uint16_t kMaxLength = 4096;
    static constexpr size_t kPage = 32;
    EzUsbEeprom& eeprom_;
};

void dump(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (path.empty()) return;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) std::fprintf(stderr, "qwsim: cannot write the dump '%s'\n", path.c_str());
}

}  // namespace

std::string EzUsbModel::configure(const Statement& st, int) {
    const std::string& k = st.words[0];
    size_t n = st.words.size();
    uint64_t a = 0, b = 0;
    if (k == "eeprom") return configureEeprom(st);
    if (k == "firmware") {
        if (n != 2 || (st.words[1] != "emulated" && st.words[1] != "scripted"))
            return "expected 'firmware emulated|scripted'";
        emulated_ = st.words[1] == "emulated";
        return {};
    }
    if (k == "flip") {
        auto mask = option(st, "mask", 2);
        b = 1;
        if (n < 2 || n > 3 || (n == 3 && !mask) || !parseNumber(st.words[1], &a) || a > 0xFFFF ||
            (mask && (!parseNumber(*mask, &b) || b == 0 || b > 0xFF)))
            return "expected 'flip ADDRESS [mask=M]' with a 16-bit address and a mask of 1 to 0xff";
        eeprom_.addReadFault(static_cast<uint16_t>(a), static_cast<uint8_t>(b));
        return {};
    }
    if (k == "dump") {
        if (n != 3 || (st.words[1] != "ram" && st.words[1] != "eeprom")) return "expected 'dump ram|eeprom FILE'";
        (st.words[1] == "ram" ? ramDump_ : eepromDump_) = scenarioPath(st, st.words[2]);
        return {};
    }
    return "unknown statement '" + k + "'";
}

std::string EzUsbModel::configureEeprom(const Statement& st) {
    EzUsbEeprom::Shape shape;
    uint64_t addressing = shape.addressBytes;
    const struct {
        const char* key;
        uint64_t* value;
    } options[] = {{"page", &shape.page}, {"addressing", &addressing}, {"write-time", &shape.writeTimeUs}};
    bool ok = st.words.size() >= 2 && parseNumber(st.words[1], &shape.size);
    for (size_t i = 2; ok && i < st.words.size(); ++i) {
        const std::string& w = st.words[i];
        size_t eq = w.find('=');
        ok = false;
        for (const auto& o : options)
            if (eq != std::string::npos && w.compare(0, eq, o.key) == 0) ok = parseNumber(w.substr(eq + 1), o.value);
    }
    if (!ok || addressing > 2) return "expected 'eeprom SIZE [page=N] [addressing=1|2] [write-time=US]'";
    shape.addressBytes = static_cast<unsigned>(addressing);
    return eeprom_.configure(shape);
}

int EzUsbModel::control(const ControlSetup& setup, uint8_t* data, SimTime) {
    if (setup.request == kReqRam) return setup.requestType == kVendorOut ? writeRam(setup, data) : LIBUSB_ERROR_PIPE;
    if (!firmware_) return LIBUSB_ERROR_PIPE;
    return firmware_->control(setup, data);
}

int EzUsbModel::writeRam(const ControlSetup& setup, const uint8_t* data) {
    size_t end = size_t{setup.value} + setup.length;
    if (end > ram_.size()) return LIBUSB_ERROR_PIPE;
    std::copy(data, data + setup.length, ram_.begin() + setup.value);
    if (setup.value <= kCpuControl && kCpuControl < end)
        setCpuControl(ram_[kCpuControl]);
    else if (held_ && setup.length > 0)
        loaded_ = true;
    return setup.length;
}

void EzUsbModel::setCpuControl(uint8_t value) {
    bool hold = (value & kCpuReset) != 0;
    if (hold && !held_) {
        firmware_.reset();
        loaded_ = false;
    } else if (!hold && held_ && loaded_) {
        if (emulated_)
            firmware_ = std::make_unique<Fx2Chip>(ram_, eeprom_, chipClock_);
        else
            firmware_ = std::make_unique<LoaderStandIn>(eeprom_);
    }
    held_ = hold;
}

int EzUsbModel::writeOut(uint8_t, const uint8_t*, size_t, SimTime) { return LIBUSB_ERROR_PIPE; }

void EzUsbModel::closed() {
    dump(ramDump_, ram_);
    dump(eepromDump_, eeprom_.cells());
}

}  // namespace qwsim
