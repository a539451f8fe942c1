#pragma once
// The Serial Plim: two receivers listening on the two directions of a serial line.
// Interfaces 0 and 1; per line a bulk IN endpoint with the received bytes (0x82,
// 0x85) and an interrupt IN endpoint with CDC SERIAL_STATE notifications (0x83,
// 0x86). Vendor request 0xC1 programs a line's receiver with a 16-byte parameter
// block, 0xDA reads a status input (0 when active).
//
// A line sends nothing until its receiver has been programmed, as the hardware
// does. The received bytes come from the generic model's data statements; the
// notifications and the status inputs from statements of this model.

#include <array>
#include <deque>
#include <map>
#include <optional>

#include "GenericModel.h"

namespace qwsim {

class SerialPlimModel final : public DeviceModel {
public:
    SerialPlimModel();

    std::string configure(const Statement& st, int endpoint) override;
    std::vector<EndpointInfo> endpoints() const override;
    int interfaceCount() const override { return 2; }
    int control(const ControlSetup& setup, uint8_t* data, SimTime now) override;
    InData readIn(uint8_t endpoint, uint8_t* buffer, size_t room, SimTime now) override;
    void readRequested(uint8_t endpoint, SimTime now) override;
    int writeOut(uint8_t endpoint, const uint8_t* data, size_t length, SimTime now) override;

private:
    static constexpr size_t kLineBlockSize = 16;

    struct Line {
        std::optional<std::array<uint8_t, kLineBlockSize>> parameters;  // set by request 0xC1
        std::deque<std::vector<uint8_t>> notifications;
    };

    std::string configureNotification(const Statement& st, int endpoint);
    std::string configureInput(const Statement& st);
    // The line an endpoint belongs to, or -1.
    static int lineOf(uint8_t endpoint, bool status);

    GenericModel received_;  // the bulk endpoints' data
    Line lines_[2];
    std::map<uint16_t, uint16_t> inputs_;
};

}  // namespace qwsim
