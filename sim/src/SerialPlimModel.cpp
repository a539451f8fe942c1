#include "SerialPlimModel.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>

#include "Scenario.h"

namespace qwsim {

namespace {

constexpr uint8_t kReqSetLine = 0xC1;
constexpr uint8_t kReqReadInput = 0xDA;
constexpr uint16_t kLineSelect = 0x8000;  // wValue of line 1; line 0 is 0
constexpr uint16_t kInputActive = 0x0000;
constexpr uint16_t kInputInactive = 0x0001;

constexpr uint8_t kDataEndpoints[2] = {0x82, 0x85};
constexpr uint8_t kStatusEndpoints[2] = {0x83, 0x86};
constexpr uint16_t kBulkPacket = 512;
constexpr uint16_t kInterruptPacket = 16;

// CDC SERIAL_STATE: class request to the host, notification 0x20, wIndex the
// interface, wLength 2, then the UART state bitmap.
constexpr uint8_t kNotifyRequestType = 0xA1;
constexpr uint8_t kSerialStateCode = 0x20;
constexpr uint16_t kSerialStateLength = 2;
constexpr size_t kNotificationSize = 10;
constexpr uint64_t kMaxNotificationSize = 64;

}  // namespace

SerialPlimModel::SerialPlimModel() {
    for (uint8_t address : kDataEndpoints) received_.addEndpoint(EndpointInfo{address, kBulk, kBulkPacket});
}

std::vector<EndpointInfo> SerialPlimModel::endpoints() const {
    std::vector<EndpointInfo> all;
    for (int line = 0; line < 2; ++line) {
        all.push_back(EndpointInfo{kDataEndpoints[line], kBulk, kBulkPacket});
        all.push_back(EndpointInfo{kStatusEndpoints[line], kInterrupt, kInterruptPacket});
    }
    return all;
}

int SerialPlimModel::lineOf(uint8_t endpoint, bool status) {
    const uint8_t* table = status ? kStatusEndpoints : kDataEndpoints;
    for (int line = 0; line < 2; ++line)
        if (table[line] == endpoint) return line;
    return -1;
}

std::string SerialPlimModel::configure(const Statement& st, int endpoint) {
    const std::string& k = st.words[0];
    if (k == "input") return configureInput(st);
    if (k == "serial-state") return configureNotification(st, endpoint);
    // This model answers its control requests itself.
    if (k == "control") return "unknown statement 'control'";
    bool data = endpoint >= 0 && lineOf(static_cast<uint8_t>(endpoint), false) >= 0;
    std::string problem = received_.configure(st, data ? endpoint : -1);
    if (!data && problem.find("needs an IN endpoint") != std::string::npos)
        return "'" + k + "' needs endpoint 0x82 or 0x85 before it";
    return problem;
}

std::string SerialPlimModel::configureInput(const Statement& st) {
    uint64_t input = 0, value = 0;
    const std::string level = st.words.size() == 3 ? st.words[2] : "";
    bool ok = st.words.size() == 3 && parseNumber(st.words[1], &input) && input <= 0xFFFF;
    if (level == "low")
        value = kInputActive;
    else if (level == "high")
        value = kInputInactive;
    else
        ok = ok && parseNumber(level, &value) && value <= 0xFFFF;
    if (!ok) return "expected 'input N low|high|VALUE'";
    inputs_[static_cast<uint16_t>(input)] = static_cast<uint16_t>(value);
    return {};
}

std::string SerialPlimModel::configureNotification(const Statement& st, int endpoint) {
    int line = endpoint < 0 ? -1 : lineOf(static_cast<uint8_t>(endpoint), true);
    if (line < 0) return "'serial-state' needs endpoint 0x83 or 0x86 before it";
    const char* usage = "expected 'serial-state BITMAP [length=L] [size=N]' with N up to 64";
    uint64_t state = 0, length = kSerialStateLength, size = kNotificationSize;
    if (st.words.size() < 2 || !parseNumber(st.words[1], &state) || state > 0xFFFF) return usage;
    for (size_t i = 2; i < st.words.size(); ++i) {
        const std::string& w = st.words[i];
        bool isLength = w.rfind("length=", 0) == 0, isSize = w.rfind("size=", 0) == 0;
        uint64_t* target = isLength ? &length : isSize ? &size : nullptr;
        if (!target || !parseNumber(w.substr(isLength ? 7 : 5), target)) return usage;
    }
    if (length > 0xFFFF || size > kMaxNotificationSize) return usage;
    std::vector<uint8_t> n = {kNotifyRequestType,
                              kSerialStateCode,
                              0,
                              0,
                              static_cast<uint8_t>(line),  // the line's interface
                              0,
                              static_cast<uint8_t>(length),
                              static_cast<uint8_t>(length >> 8),
                              static_cast<uint8_t>(state),
                              static_cast<uint8_t>(state >> 8)};
    n.resize(size);  // cut short, or padded with zeros
    lines_[line].notifications.push_back(std::move(n));
    return {};
}

int SerialPlimModel::control(const ControlSetup& setup, uint8_t* data, SimTime) {
    if (setup.requestType == kVendorOut && setup.request == kReqSetLine) {
        int line = setup.value == 0 ? 0 : setup.value == kLineSelect ? 1 : -1;
        if (line < 0 || setup.index != 0 || setup.length != kLineBlockSize) return LIBUSB_ERROR_PIPE;
        std::array<uint8_t, kLineBlockSize> block;
        std::memcpy(block.data(), data, kLineBlockSize);
        lines_[line].parameters = block;
        return setup.length;
    }
    if (setup.requestType == kVendorIn && setup.request == kReqReadInput) {
        auto it = inputs_.find(setup.value);
        uint16_t value = it == inputs_.end() ? kInputInactive : it->second;
        uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
        size_t n = std::min<size_t>(sizeof bytes, setup.length);
        if (n) std::memcpy(data, bytes, n);
        return static_cast<int>(n);
    }
    return LIBUSB_ERROR_PIPE;
}

void SerialPlimModel::readRequested(uint8_t endpoint, SimTime now) {
    int line = lineOf(endpoint, false);
    if (line >= 0 && lines_[line].parameters) received_.readRequested(endpoint, now);
}

InData SerialPlimModel::readIn(uint8_t endpoint, uint8_t* buffer, size_t room, SimTime now) {
    InData r;
    if (int line = lineOf(endpoint, true); line >= 0) {
        Line& l = lines_[line];
        if (!l.parameters || l.notifications.empty()) return r;
        // One notification per transfer: it is shorter than the transfer asks for.
        std::vector<uint8_t>& n = l.notifications.front();
        r.bytes = std::min(n.size(), room);
        if (r.bytes) std::memcpy(buffer, n.data(), r.bytes);
        r.packetEnd = true;
        l.notifications.pop_front();
        return r;
    }
    int line = lineOf(endpoint, false);
    if (line < 0 || !lines_[line].parameters) return r;
    return received_.readIn(endpoint, buffer, room, now);
}

int SerialPlimModel::writeOut(uint8_t, const uint8_t*, size_t, SimTime) { return LIBUSB_ERROR_PIPE; }

}  // namespace qwsim
